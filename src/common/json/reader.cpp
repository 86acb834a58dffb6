#include "common/json/reader.hpp"

#include <charconv>
#include <cstring>
#include <unordered_set>

#include "common/json/reader_diagnostics.hpp"
#include "common/json/writer.hpp"

namespace ostrel::common::json {

namespace od = simdjson::ondemand;

namespace {

using detail::Context;
using namespace detail::diagnostics;

template <class F>
auto visit_target(bool is_document, void* target, F&& f) {
  if (is_document) return f(*static_cast<od::document*>(target));
  return f(*static_cast<od::value*>(target));
}

std::string ticked_number(std::string_view kind, auto v) {
  std::string out(kind);
  out += " `";
  if constexpr (std::is_floating_point_v<decltype(v)>) {
    append_f64(out, v);
  } else {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    out.append(buf, end);
  }
  out += '`';
  return out;
}

struct Number {
  enum class Type { Unsigned, Signed, Float } type;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0;

  std::string describe() const {
    switch (type) {
      case Type::Unsigned:
        return ticked_number("integer", u);
      case Type::Signed:
        return ticked_number("integer", i);
      case Type::Float:
        break;
    }
    return ticked_number("floating point", d);
  }
};

// Small objects are the rule; a linear scan beats hashing until there are many keys.
class KeySet {
 public:
  // False when the key was already there.
  bool insert(std::string_view key) {
    if (!set_.empty()) return set_.insert(key).second;
    for (std::string_view k : small_) {
      if (k == key) return false;
    }
    small_.push_back(key);
    if (small_.size() > 16) {
      set_.insert(small_.begin(), small_.end());
      small_.clear();
    }
    return true;
  }

 private:
  std::vector<std::string_view> small_;
  std::unordered_set<std::string_view> set_;
};

}  // namespace

namespace detail {

struct NodeAccess {
  static Node make(Context* c, void* target, bool is_document, std::uint32_t depth, const char* pos) {
    return Node(c, target, is_document, depth, pos);
  }
  static Node child(Node& parent, od::value& v) {
    return Node(parent.ctx_, &v, false, parent.depth_ + 1, v.raw_json_token().data());
  }
  static bool consumed(const Node& n) { return n.consumed_; }
  static void set_consumed(Node& n) { n.consumed_ = true; }
  static const Context& ctx(const Node& n) { return *n.ctx_; }
  static const char* pos(const Node& n) { return n.pos_; }
  static std::uint32_t depth(const Node& n) { return n.depth_; }
  static bool is_document(const Node& n) { return n.is_document_; }
  static void* target(const Node& n) { return n.target_; }

  static SchemaError syntax(const Node& n, simdjson::error_code code) { return walk_error(*n.ctx_, code, n.pos_); }

  // Classifies first, then reads with the matching getter: simdjson 3.0's get_number() loses the
  // value of floats written with more than 19 digits, while get_double() reads them correctly.
  static Result<Number, SchemaError> number(Node& n) {
    const auto number_failure = [&](simdjson::error_code e) {
      if (e == simdjson::TRAILING_CONTENT) return syntax(n, e);
      return number_error(*n.ctx_, n.pos_);
    };
    auto t = visit_target(n.is_document_, n.target_,
                          [](auto& v) -> simdjson::simdjson_result<od::number_type> { return v.get_number_type(); });
    if (t.error()) return fail(number_failure(t.error()));
    Number out{Number::Type::Float};
    switch (t.value_unsafe()) {
      case od::number_type::unsigned_integer: {
        auto r = visit_target(n.is_document_, n.target_,
                              [](auto& v) -> simdjson::simdjson_result<std::uint64_t> { return v.get_uint64(); });
        if (r.error()) return fail(number_failure(r.error()));
        out.type = Number::Type::Unsigned;
        out.u = r.value_unsafe();
        break;
      }
      case od::number_type::signed_integer: {
        auto r = visit_target(n.is_document_, n.target_,
                              [](auto& v) -> simdjson::simdjson_result<std::int64_t> { return v.get_int64(); });
        if (r.error()) return fail(number_failure(r.error()));
        out.i = r.value_unsafe();
        if (out.i >= 0) {
          out.type = Number::Type::Unsigned;
          out.u = static_cast<std::uint64_t>(out.i);
        } else {
          out.type = Number::Type::Signed;
        }
        break;
      }
      default: {
        auto r = visit_target(n.is_document_, n.target_,
                              [](auto& v) -> simdjson::simdjson_result<double> { return v.get_double(); });
        if (r.error()) return fail(number_failure(r.error()));
        out.d = r.value_unsafe();
        break;
      }
    }
    n.consumed_ = true;
    return out;
  }

  static Result<std::string_view, SchemaError> raw_string(Node& n) {
    auto r = visit_target(n.is_document_, n.target_,
                          [](auto& t) -> simdjson::simdjson_result<std::string_view> { return t.get_string(); });
    if (r.error()) return fail(syntax(n, r.error()));
    n.consumed_ = true;
    return r.value_unsafe();
  }

  static Result<bool, SchemaError> raw_bool(Node& n) {
    auto r = visit_target(n.is_document_, n.target_,
                          [](auto& t) -> simdjson::simdjson_result<bool> { return t.get_bool(); });
    if (r.error()) return fail(syntax(n, r.error()));
    n.consumed_ = true;
    return r.value_unsafe();
  }

  static Result<void, SchemaError> raw_null(Node& n) {
    auto r = visit_target(n.is_document_, n.target_,
                          [](auto& t) -> simdjson::simdjson_result<bool> { return t.is_null(); });
    if (r.error() || !r.value_unsafe()) {
      // A top-level null followed by more text is refused by the same call.
      if (token_at(*n.ctx_, n.pos_) == "null") return fail(syntax(n, simdjson::TRAILING_CONTENT));
      return fail(syntax(n, r.error() ? r.error() : simdjson::N_ATOM_ERROR));
    }
    n.consumed_ = true;
    return {};
  }

  // What the value is, for "invalid type" messages. Reads scalars (the read is about to fail).
  static Result<std::string, SchemaError> describe(Node& n) {
    auto k = n.kind();
    if (!k) return fail(k.error());
    switch (*k) {
      case NodeKind::Null: {
        if (auto r = raw_null(n); !r) return fail(r.error());
        return std::string("null");
      }
      case NodeKind::Boolean: {
        auto b = raw_bool(n);
        if (!b) return fail(b.error());
        return std::string(*b ? "boolean `true`" : "boolean `false`");
      }
      case NodeKind::Number: {
        auto num = number(n);
        if (!num) return fail(num.error());
        return num->describe();
      }
      case NodeKind::String: {
        auto s = raw_string(n);
        if (!s) return fail(s.error());
        return describe_string(*s);
      }
      case NodeKind::Array:
        return std::string("sequence");
      case NodeKind::Object:
        break;
    }
    return std::string("map");
  }

  static SchemaError positioned(const Node& n, SchemaError e) { return at(*n.ctx_, n.pos_, std::move(e)); }

  static SchemaError invalid_type(Node& n, std::string_view expected) {
    auto d = describe(n);
    if (!d) return d.error();
    return positioned(n, SchemaError::invalid_type(*d, expected));
  }

  template <class T>
  static Result<T, SchemaError> unsigned_integer(Node& n, T max, std::string_view expected) {
    auto k = n.kind();
    if (!k) return fail(k.error());
    if (*k != NodeKind::Number) return fail(invalid_type(n, expected));
    auto num = number(n);
    if (!num) return fail(num.error());
    switch (num->type) {
      case Number::Type::Unsigned:
        if (num->u > max) return fail(positioned(n, SchemaError::invalid_value(num->describe(), expected)));
        return static_cast<T>(num->u);
      case Number::Type::Signed:
        return fail(positioned(n, SchemaError::invalid_value(num->describe(), expected)));
      case Number::Type::Float:
        break;
    }
    return fail(positioned(n, SchemaError::invalid_type(num->describe(), expected)));
  }

  template <class Obj>
  static Result<Obj, SchemaError> open(Node& n, std::string_view expected, NodeKind want) {
    auto k = n.kind();
    if (!k) return fail(k.error());
    if (*k != want) return fail(invalid_type(n, expected));
    if (n.depth_ > kMaxDepth) return fail(too_deep(*n.ctx_, n.pos_, kMaxDepth));
    auto r = visit_target(n.is_document_, n.target_, [](auto& t) -> simdjson::simdjson_result<Obj> {
      if constexpr (std::is_same_v<Obj, od::object>) {
        return t.get_object();
      } else {
        return t.get_array();
      }
    });
    if (r.error()) return fail(syntax(n, r.error()));
    n.consumed_ = true;
    return std::move(r.value_unsafe());
  }

  // Runs `fn` on a child value, positions an error it returns without one, and validates
  // whatever it left unread.
  template <class Fn>
  static Result<void, SchemaError> visit_child(Node& child, Fn&& fn) {
    auto r = fn(child);
    if (!r) return fail(positioned(child, std::move(r.error())));
    if (!child.consumed_) return child.skip();
    return {};
  }

  struct Field {
    std::string_view key;
    const char* key_pos;
  };

  // Walks an object's members: fn(Field, Node& value).
  template <class Fn>
  static Result<void, SchemaError> each_member(Node& n, std::string_view expected, Fn&& fn) {
    auto obj = open<od::object>(n, expected, NodeKind::Object);
    if (!obj) return fail(obj.error());
    for (auto fr : *obj) {
      if (fr.error()) return fail(walk_error(*n.ctx_, fr.error(), current(*n.ctx_)));
      od::field& field = fr.value_unsafe();
      const char* key_pos = field.key().raw() - 1;
      std::string_view key;
      if (auto e = field.unescaped_key().get(key)) return fail(walk_error(*n.ctx_, e, key_pos));
      Node child = NodeAccess::child(n, field.value());
      if (auto r = fn(Field{key, key_pos}, child); !r) return r;
    }
    return {};
  }

  template <class Fn>
  static Result<void, SchemaError> each_element(Node& n, std::string_view expected, Fn&& fn) {
    auto arr = open<od::array>(n, expected, NodeKind::Array);
    if (!arr) return fail(arr.error());
    for (auto er : *arr) {
      if (er.error()) return fail(walk_error(*n.ctx_, er.error(), current(*n.ctx_)));
      Node child = NodeAccess::child(n, er.value_unsafe());
      if (auto r = fn(child); !r) return r;
    }
    return {};
  }
};

}  // namespace detail

using detail::NodeAccess;

Result<NodeKind, SchemaError> Node::kind() {
  auto t = visit_target(is_document_, target_,
                        [](auto& v) -> simdjson::simdjson_result<od::json_type> { return v.type(); });
  if (t.error()) return fail(walk_error(*ctx_, t.error(), pos_));
  switch (t.value_unsafe()) {
    case od::json_type::array:
      return NodeKind::Array;
    case od::json_type::object:
      return NodeKind::Object;
    case od::json_type::number:
      return NodeKind::Number;
    case od::json_type::string:
      return NodeKind::String;
    case od::json_type::boolean:
      return NodeKind::Boolean;
    case od::json_type::null:
      return NodeKind::Null;
  }
  return fail(unexpected_at(*ctx_, pos_));
}

Result<bool, SchemaError> Node::null() {
  auto k = kind();
  if (!k) return fail(k.error());
  if (*k != NodeKind::Null) return false;
  if (auto r = NodeAccess::raw_null(*this); !r) return fail(r.error());
  return true;
}

Result<std::string_view, SchemaError> Node::string_view(std::string_view expected) {
  auto k = kind();
  if (!k) return fail(k.error());
  if (*k != NodeKind::String) return fail(NodeAccess::invalid_type(*this, expected));
  return NodeAccess::raw_string(*this);
}

Result<std::string, SchemaError> Node::string(std::string_view expected) {
  auto s = string_view(expected);
  if (!s) return fail(s.error());
  return std::string(*s);
}

Result<std::uint64_t, SchemaError> Node::u64(std::string_view expected) {
  return NodeAccess::unsigned_integer<std::uint64_t>(*this, UINT64_MAX, expected);
}

Result<std::uint32_t, SchemaError> Node::u32(std::string_view expected) {
  return NodeAccess::unsigned_integer<std::uint32_t>(*this, UINT32_MAX, expected);
}

Result<std::uint8_t, SchemaError> Node::u8(std::string_view expected) {
  return NodeAccess::unsigned_integer<std::uint8_t>(*this, UINT8_MAX, expected);
}

Result<std::int64_t, SchemaError> Node::i64(std::string_view expected) {
  auto k = kind();
  if (!k) return fail(k.error());
  if (*k != NodeKind::Number) return fail(NodeAccess::invalid_type(*this, expected));
  auto num = NodeAccess::number(*this);
  if (!num) return fail(num.error());
  switch (num->type) {
    case Number::Type::Unsigned:
      if (num->u > static_cast<std::uint64_t>(INT64_MAX)) {
        return fail(NodeAccess::positioned(*this, SchemaError::invalid_value(num->describe(), expected)));
      }
      return static_cast<std::int64_t>(num->u);
    case Number::Type::Signed:
      return num->i;
    case Number::Type::Float:
      break;
  }
  return fail(NodeAccess::positioned(*this, SchemaError::invalid_type(num->describe(), expected)));
}

Result<double, SchemaError> Node::f64(std::string_view expected) {
  auto k = kind();
  if (!k) return fail(k.error());
  if (*k != NodeKind::Number) return fail(NodeAccess::invalid_type(*this, expected));
  auto num = NodeAccess::number(*this);
  if (!num) return fail(num.error());
  switch (num->type) {
    case Number::Type::Unsigned:
      return static_cast<double>(num->u);
    case Number::Type::Signed:
      return static_cast<double>(num->i);
    case Number::Type::Float:
      break;
  }
  return num->d;
}

Result<bool, SchemaError> Node::boolean(std::string_view expected) {
  auto k = kind();
  if (!k) return fail(k.error());
  if (*k != NodeKind::Boolean) return fail(NodeAccess::invalid_type(*this, expected));
  return NodeAccess::raw_bool(*this);
}

Result<std::optional<std::string>, SchemaError> Node::optional_string(std::string_view expected) {
  auto n = null();
  if (!n) return fail(n.error());
  if (*n) return std::optional<std::string>{};
  auto s = string(expected);
  if (!s) return fail(s.error());
  return std::optional<std::string>(std::move(*s));
}

Result<std::optional<double>, SchemaError> Node::optional_f64(std::string_view expected) {
  auto n = null();
  if (!n) return fail(n.error());
  if (*n) return std::optional<double>{};
  auto d = f64(expected);
  if (!d) return fail(d.error());
  return std::optional<double>(*d);
}

Result<std::vector<std::uint8_t>, SchemaError> Node::bytes(std::string_view expected) {
  std::vector<std::uint8_t> out;
  auto r = NodeAccess::each_element(*this, expected, [&](Node& e) -> Result<void, SchemaError> {
    return NodeAccess::visit_child(e, [&](Node& c) -> Result<void, SchemaError> {
      auto b = c.u8();
      if (!b) return fail(b.error());
      out.push_back(*b);
      return {};
    });
  });
  if (!r) return fail(r.error());
  return out;
}

Result<void, SchemaError> Node::object(const ObjectSchema& schema, FieldFn on_field) {
  const auto find = [&](std::string_view key) -> std::size_t {
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
      if (schema.fields[i] == key) return i;
    }
    return schema.fields.size();
  };
  const auto canonical = [&](std::size_t i) -> std::size_t {
    for (const FieldAlias& a : schema.aliases) {
      if (a.alias == i) return a.field;
    }
    return i;
  };

  if (schema.accept_array) {
    auto k = kind();
    if (!k) return fail(k.error());
    if (*k == NodeKind::Array) {
      std::size_t index = 0;
      const auto length_error = [&](std::size_t n) {
        return NodeAccess::positioned(
            *this, SchemaError::custom("invalid length " + std::to_string(n) + ", expected " +
                                       std::string(schema.expecting) + " with " +
                                       std::to_string(schema.fields.size()) + " elements"));
      };
      auto r = NodeAccess::each_element(*this, schema.expecting, [&](Node& e) -> Result<void, SchemaError> {
        if (index == schema.fields.size()) return fail(length_error(index + 1));
        const std::size_t field = index++;
        return NodeAccess::visit_child(e, [&](Node& c) { return on_field(field, c); });
      });
      if (!r) return r;
      if (index != schema.fields.size()) return fail(length_error(index));
      return {};
    }
  }

  std::uint64_t seen = 0;
  KeySet unknown_seen;
  auto r = NodeAccess::each_member(*this, schema.expecting,
                                   [&](const NodeAccess::Field& f, Node& v) -> Result<void, SchemaError> {
                                     const Context& c = NodeAccess::ctx(*this);
                                     const std::size_t index = find(f.key);
                                     if (index == schema.fields.size()) {
                                       if (schema.unknown == UnknownFields::Reject) {
                                         return fail(at(c, f.key_pos, SchemaError::unknown_field(f.key, schema.fields)));
                                       }
                                       if (!unknown_seen.insert(f.key)) {
                                         return fail(at(c, f.key_pos, SchemaError::duplicate_field(f.key)));
                                       }
                                       return v.skip();
                                     }
                                     const std::size_t field = canonical(index);
                                     if (seen & field_bit(field)) {
                                       return fail(at(c, f.key_pos, SchemaError::duplicate_field(schema.fields[field])));
                                     }
                                     seen |= field_bit(field);
                                     return NodeAccess::visit_child(v, [&](Node& c2) { return on_field(field, c2); });
                                   });
  if (!r) return r;
  for (std::size_t i = 0; i < schema.fields.size(); ++i) {
    if ((schema.required & field_bit(i)) && !(seen & field_bit(i))) {
      return fail(NodeAccess::positioned(*this, SchemaError::missing_field(schema.fields[i])));
    }
  }
  return {};
}

Result<void, SchemaError> Node::members(MemberFn on_member, std::string_view expected) {
  KeySet keys;
  return NodeAccess::each_member(*this, expected, [&](const NodeAccess::Field& f, Node& v) -> Result<void, SchemaError> {
    if (!keys.insert(f.key)) {
      return fail(at(NodeAccess::ctx(*this), f.key_pos, SchemaError::duplicate_field(f.key)));
    }
    return NodeAccess::visit_child(v, [&](Node& c) { return on_member(f.key, c); });
  });
}

Result<void, SchemaError> Node::elements(ElementFn on_element, std::string_view expected) {
  return NodeAccess::each_element(*this, expected, [&](Node& e) {
    return NodeAccess::visit_child(e, [&](Node& c) { return on_element(c); });
  });
}

Result<std::size_t, SchemaError> Node::variant_name(std::span<const std::string_view> variants,
                                                    std::string_view expected) {
  auto s = string_view(expected);
  if (!s) return fail(s.error());
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (variants[i] == *s) return i;
  }
  return fail(NodeAccess::positioned(*this, SchemaError::unknown_variant(*s, variants)));
}

Result<void, SchemaError> Node::variant(std::span<const std::string_view> variants, FieldFn on_variant,
                                        std::string_view expected) {
  bool found = false;
  auto r = NodeAccess::each_member(*this, expected, [&](const NodeAccess::Field& f, Node& v) -> Result<void, SchemaError> {
    const Context& c = NodeAccess::ctx(*this);
    if (found) {
      return fail(at(c, f.key_pos, SchemaError::invalid_value("map with more than one key", expected)));
    }
    found = true;
    for (std::size_t i = 0; i < variants.size(); ++i) {
      if (variants[i] == f.key) {
        return NodeAccess::visit_child(v, [&](Node& c2) { return on_variant(i, c2); });
      }
    }
    return fail(at(c, f.key_pos, SchemaError::unknown_variant(f.key, variants)));
  });
  if (!r) return r;
  if (!found) return fail(NodeAccess::positioned(*this, SchemaError::invalid_value("empty map", expected)));
  return {};
}

Result<Value, SchemaError> Node::value() {
  auto k = kind();
  if (!k) return fail(k.error());
  switch (*k) {
    case NodeKind::Null:
      if (auto r = NodeAccess::raw_null(*this); !r) return fail(r.error());
      return Value(nullptr);
    case NodeKind::Boolean: {
      auto b = NodeAccess::raw_bool(*this);
      if (!b) return fail(b.error());
      return Value(*b);
    }
    case NodeKind::Number: {
      auto num = NodeAccess::number(*this);
      if (!num) return fail(num.error());
      switch (num->type) {
        case Number::Type::Unsigned:
          return Value(num->u);
        case Number::Type::Signed:
          return Value(num->i);
        case Number::Type::Float:
          break;
      }
      return Value(num->d);
    }
    case NodeKind::String: {
      auto s = NodeAccess::raw_string(*this);
      if (!s) return fail(s.error());
      return Value(*s);
    }
    case NodeKind::Array: {
      Array out;
      auto r = elements([&](Node& e) -> Result<void, SchemaError> {
        auto v = e.value();
        if (!v) return fail(v.error());
        out.push_back(std::move(*v));
        return {};
      });
      if (!r) return fail(r.error());
      return Value(std::move(out));
    }
    case NodeKind::Object:
      break;
  }
  Object out;
  auto r = members([&](std::string_view key, Node& e) -> Result<void, SchemaError> {
    auto v = e.value();
    if (!v) return fail(v.error());
    out.emplace(std::string(key), std::move(*v));
    return {};
  });
  if (!r) return fail(r.error());
  return Value(std::move(out));
}

Result<void, SchemaError> Node::skip() {
  auto k = kind();
  if (!k) return fail(k.error());
  switch (*k) {
    case NodeKind::Null:
      return NodeAccess::raw_null(*this);
    case NodeKind::Boolean: {
      auto b = NodeAccess::raw_bool(*this);
      if (!b) return fail(b.error());
      return {};
    }
    case NodeKind::Number: {
      auto n = NodeAccess::number(*this);
      if (!n) return fail(n.error());
      return {};
    }
    case NodeKind::String: {
      auto s = NodeAccess::raw_string(*this);
      if (!s) return fail(s.error());
      return {};
    }
    case NodeKind::Array:
      return NodeAccess::each_element(*this, "a sequence", [](Node& e) { return e.skip(); });
    case NodeKind::Object:
      break;
  }
  return NodeAccess::each_member(*this, "a map",
                                 [](const NodeAccess::Field&, Node& v) { return v.skip(); });
}

SchemaError Node::error(SchemaError e) const { return NodeAccess::positioned(*this, std::move(e)); }

namespace {

// One parser and buffer per thread, reused: reading a record then allocates nothing in the
// common case. A reader that starts another read from inside a callback gets fresh ones.
struct ThreadParser {
  od::parser parser;
  std::string buffer;
  bool busy = false;
};
thread_local ThreadParser t_parser;

constexpr std::size_t kKeepBufferBytes = std::size_t{1} << 20;

Result<void, SchemaError> read_text(std::string_view text, RootFn read_root, bool positions) {
  ThreadParser local;
  ThreadParser& tp = t_parser.busy ? local : t_parser;
  tp.busy = true;
  struct Release {
    ThreadParser& tp;
    ~Release() {
      tp.busy = false;
      // A one-off huge document should not pin its memory to the thread.
      if (tp.buffer.capacity() > kKeepBufferBytes) {
        std::string().swap(tp.buffer);
        tp.parser = od::parser{};
      }
    }
  } release{tp};

  tp.buffer.resize(text.size() + simdjson::SIMDJSON_PADDING);
  if (!text.empty()) std::memcpy(tp.buffer.data(), text.data(), text.size());
  std::memset(tp.buffer.data() + text.size(), 0, simdjson::SIMDJSON_PADDING);

  Context ctx;
  ctx.base = tp.buffer.data();
  ctx.length = text.size();
  ctx.positions = positions;

  auto doc_result = tp.parser.iterate(tp.buffer.data(), text.size(), tp.buffer.size());
  if (doc_result.error()) return fail(first_pass_error(ctx, doc_result.error()));
  od::document doc = std::move(doc_result.value_unsafe());
  ctx.doc = &doc;

  const char* start = ctx.base;
  while (start < end_of(ctx) && (*start == ' ' || *start == '\n' || *start == '\r' || *start == '\t')) ++start;
  Node root = NodeAccess::make(&ctx, &doc, true, 1, start);
  if (auto r = read_root(root); !r) return fail(NodeAccess::positioned(root, std::move(r.error())));
  if (!NodeAccess::consumed(root)) {
    if (auto r = root.skip(); !r) return r;
  }
  auto loc = doc.current_location();
  if (!loc.error()) return fail(at(ctx, loc.value_unsafe(), SchemaError::syntax("trailing characters")));
  return {};
}

}  // namespace

Result<void, SchemaError> read_document(std::string_view text, RootFn read_root) {
  return read_text(text, read_root, true);
}

Result<void, SchemaError> read_document_from_value(const Value& document, RootFn read_root) {
  return read_text(to_json(document), read_root, false);
}

Result<Value, SchemaError> read_value(std::string_view text) {
  Value out;
  auto r = read_document(text, [&](Node& root) -> Result<void, SchemaError> {
    auto v = root.value();
    if (!v) return fail(v.error());
    out = std::move(*v);
    return {};
  });
  if (!r) return fail(r.error());
  return out;
}

std::string describe_string(std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "string \"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u{";
          if (c >= 0x10) out += hex[c >> 4];
          out += hex[c & 0xf];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace ostrel::common::json
