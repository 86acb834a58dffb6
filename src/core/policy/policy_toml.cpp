// TOML carrier of policy documents: a node over toml++ with the interface of the JSON reading
// layer's Node, so the one schema reader runs over it unchanged. toml++ refuses repeated keys
// itself, so its own error text is the message for those.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include <toml++/toml.h>

#include "common/json/reader.hpp"
#include "core/policy/policy_reader.hpp"
#include "core/policy/policy_set.hpp"
#include "core/policy/source_excerpt.hpp"

namespace ostrel::core {
namespace policy_reader {
namespace {

std::string describe_float(double d) {
  if (std::isnan(d)) return "floating point `NaN`";
  if (std::isinf(d)) return d > 0 ? "floating point `inf`" : "floating point `-inf`";
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string digits(buf, ec == std::errc{} ? end : buf);
  if (digits.find_first_of(".e") == std::string::npos) digits += ".0";
  return "floating point `" + digits + "`";
}

class TomlNode {
 public:
  explicit TomlNode(const toml::node& n) : n_(&n) {}
  TomlNode(const TomlNode&) = delete;
  TomlNode& operator=(const TomlNode&) = delete;

  common::Result<bool, SchemaError> null() const { return false; }  // TOML has no null

  common::Result<std::string, SchemaError> string(std::string_view expected = "a string") const {
    if (const auto* s = n_->as_string()) return s->get();
    return common::fail(invalid_type(expected));
  }

  common::Result<double, SchemaError> f64(std::string_view expected = "f64") const {
    if (const auto* i = n_->as_integer()) return static_cast<double>(i->get());
    if (const auto* f = n_->as_floating_point()) return f->get();
    return common::fail(invalid_type(expected));
  }

  common::Result<std::uint32_t, SchemaError> u32(std::string_view expected = "u32") const {
    const auto* i = n_->as_integer();
    if (i == nullptr) return common::fail(invalid_type(expected));
    const std::int64_t v = i->get();
    if (v < 0 || v > std::numeric_limits<std::uint32_t>::max()) {
      return common::fail(here(SchemaError::invalid_value(describe(), expected)));
    }
    return static_cast<std::uint32_t>(v);
  }

  common::Result<std::size_t, SchemaError> variant_name(std::span<const std::string_view> variants,
                                                        std::string_view expected) const {
    const auto* s = n_->as_string();
    if (s == nullptr) return common::fail(invalid_type(expected));
    const std::string_view name = s->get();
    for (std::size_t i = 0; i < variants.size(); ++i) {
      if (variants[i] == name) return i;
    }
    return common::fail(here(SchemaError::unknown_variant(name, variants)));
  }

  template <class F>
  Status elements(F&& on_element, std::string_view expected = "a sequence") const {
    const auto* a = n_->as_array();
    if (a == nullptr) return common::fail(invalid_type(expected));
    for (const toml::node& e : *a) {
      TomlNode child(e);
      if (Status st = on_element(child); !st) return st;
    }
    return {};
  }

  template <class F>
  Status object(const ObjectSchema& schema, F&& on_field) const {
    if (n_->as_table() == nullptr) return common::fail(invalid_type(schema.expecting));
    std::uint64_t seen = 0;
    for (const Member& m : members()) {
      std::size_t index = 0;
      while (index < schema.fields.size() && schema.fields[index] != m.key->str()) ++index;
      if (index == schema.fields.size()) {
        if (schema.unknown == UnknownFields::Skip) continue;
        return common::fail(at(m, SchemaError::unknown_field(m.key->str(), schema.fields)));
      }
      for (const FieldAlias& a : schema.aliases) {
        if (a.alias == index) index = a.field;
      }
      if (seen & field_bit(index)) return common::fail(at(m, SchemaError::duplicate_field(schema.fields[index])));
      seen |= field_bit(index);
      TomlNode child(*m.value);
      if (Status st = on_field(index, child); !st) return st;
    }
    for (std::size_t i = 0; i < schema.fields.size(); ++i) {
      if ((schema.required & field_bit(i)) && !(seen & field_bit(i))) {
        return common::fail(here(SchemaError::missing_field(schema.fields[i])));
      }
    }
    return {};
  }

  template <class F>
  Status variant(std::span<const std::string_view> variants, F&& on_variant, std::string_view expected) const {
    if (n_->as_table() == nullptr) return common::fail(invalid_type(expected));
    bool found = false;
    for (const Member& m : members()) {
      if (found) return common::fail(at(m, SchemaError::invalid_value("map with more than one key", expected)));
      found = true;
      std::size_t i = 0;
      while (i < variants.size() && variants[i] != m.key->str()) ++i;
      if (i == variants.size()) return common::fail(at(m, SchemaError::unknown_variant(m.key->str(), variants)));
      TomlNode child(*m.value);
      if (Status st = on_variant(i, child); !st) return st;
    }
    if (!found) return common::fail(here(SchemaError::invalid_value("empty map", expected)));
    return {};
  }

 private:
  struct Member {
    const toml::key* key;
    const toml::node* value;
  };

  // toml++ keeps a table's keys sorted by name; walking them in document order makes the first
  // mistake the operator made the one reported.
  std::vector<Member> members() const {
    std::vector<Member> out;
    const toml::table& t = *n_->as_table();
    out.reserve(t.size());
    for (auto&& [k, v] : t) out.push_back({&k, &v});
    std::stable_sort(out.begin(), out.end(), [](const Member& a, const Member& b) {
      const auto& pa = a.key->source().begin;
      const auto& pb = b.key->source().begin;
      return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
    });
    return out;
  }

  std::string describe() const {
    switch (n_->type()) {
      case toml::node_type::table: return "map";
      case toml::node_type::array: return "sequence";
      case toml::node_type::string: return common::json::describe_string(n_->as_string()->get());
      case toml::node_type::integer: return "integer `" + std::to_string(n_->as_integer()->get()) + "`";
      case toml::node_type::floating_point: return describe_float(n_->as_floating_point()->get());
      case toml::node_type::boolean: return n_->as_boolean()->get() ? "boolean `true`" : "boolean `false`";
      case toml::node_type::date: return "date";
      case toml::node_type::time: return "time";
      case toml::node_type::date_time: return "datetime";
      default: return "unknown value";
    }
  }

  SchemaError here(SchemaError e) const {
    e.line = n_->source().begin.line;
    e.column = n_->source().begin.column;
    return e;
  }
  static SchemaError at(const Member& m, SchemaError e) {
    e.line = m.key->source().begin.line;
    e.column = m.key->source().begin.column;
    return e;
  }
  SchemaError invalid_type(std::string_view expected) const {
    return here(SchemaError::invalid_type(describe(), expected));
  }

  const toml::node* n_;
};

}  // namespace
}  // namespace policy_reader

common::Result<PolicySet, PolicyError> PolicySet::from_toml(std::string_view text) {
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& e) {
    const auto& p = e.source().begin;
    return common::fail(PolicyError{PolicyError::Kind::Parse,
                                    frame_with_excerpt(text, e.description(), p.line, p.column), {}});
  }
  policy_reader::TomlNode node(root);
  auto set = policy_reader::read_policy_set(node);
  if (!set) {
    const auto& e = set.error();
    return common::fail(
        PolicyError{PolicyError::Kind::Parse, frame_with_excerpt(text, e.message, e.line, e.column), {}});
  }
  return std::move(*set);
}

}  // namespace ostrel::core
