#include "core/policy/policy_set.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>

#include "core/policy/policy_reader.hpp"

namespace ostrel::core {

std::string_view effect_text(Effect effect) { return effect == Effect::Permit ? "permit" : "refuse"; }

std::string_view condition_kind_name(const Condition& condition) {
  return policy_reader::kConditionKinds[condition.index()];
}

namespace policy_reader {

std::string describe_float(double d) {
  if (std::isnan(d)) return "floating point `NaN`";
  if (std::isinf(d)) return d > 0 ? "floating point `inf`" : "floating point `-inf`";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  std::string digits(buf, ec == std::errc{} ? end : buf);
  // A whole float still reads as a float ("10.0"), so it is never mistaken for an integer.
  if (digits.find_first_of(".e") == std::string::npos) digits += ".0";
  return "floating point `" + digits + "`";
}

std::string describe_string(std::string_view s) {
  std::string out = "string \"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (u >= 0x10) out += kHex[u >> 4];
          out += kHex[u & 0xF];
          out += '}';
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string describe_integer(std::int64_t i) { return "integer `" + std::to_string(i) + "`"; }
std::string describe_unsigned(std::uint64_t u) { return "integer `" + std::to_string(u) + "`"; }

namespace {

// The JSON data model as a source: no positions, and objects cannot repeat a key.
class ValueSource {
 public:
  explicit ValueSource(const common::json::Value& v) : v_(&v) {}

  NodeType type() const {
    return std::visit(
        [](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::nullptr_t>) return NodeType::Null;
          else if constexpr (std::is_same_v<T, bool>) return NodeType::Boolean;
          else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::int64_t>)
            return NodeType::Integer;
          else if constexpr (std::is_same_v<T, double>) return NodeType::Float;
          else if constexpr (std::is_same_v<T, std::string>) return NodeType::String;
          else if constexpr (std::is_same_v<T, common::json::Array>) return NodeType::Sequence;
          else return NodeType::Map;
        },
        v_->storage());
  }

  std::string describe() const {
    return std::visit(
        [](const auto& x) -> std::string {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::nullptr_t>) return "null";
          else if constexpr (std::is_same_v<T, bool>) return x ? "boolean `true`" : "boolean `false`";
          else if constexpr (std::is_same_v<T, std::uint64_t>) return describe_unsigned(x);
          else if constexpr (std::is_same_v<T, std::int64_t>) return describe_integer(x);
          else if constexpr (std::is_same_v<T, double>) return describe_float(x);
          else if constexpr (std::is_same_v<T, std::string>) return describe_string(x);
          else if constexpr (std::is_same_v<T, common::json::Array>) return "sequence";
          else return "map";
        },
        v_->storage());
  }

  Pos position() const { return {}; }
  std::string_view string() const { return *v_->as_string(); }
  double number() const { return v_->as_f64().value_or(0.0); }
  std::optional<std::uint64_t> non_negative() const {
    if (const auto* u = std::get_if<std::uint64_t>(&v_->storage())) return *u;
    if (const auto* i = std::get_if<std::int64_t>(&v_->storage()); i && *i >= 0) {
      return static_cast<std::uint64_t>(*i);
    }
    return std::nullopt;
  }

  template <class F>
  Status for_each_member(F&& f) const {
    for (const auto& [key, value] : *v_->as_object()) {
      if (Status st = f(std::string_view(key), Pos{}, ValueSource(value)); !st) return st;
    }
    return {};
  }
  template <class F>
  Status for_each_element(F&& f) const {
    for (const auto& value : *v_->as_array()) {
      if (Status st = f(ValueSource(value)); !st) return st;
    }
    return {};
  }

 private:
  const common::json::Value* v_;
};

static_assert(Source<ValueSource>);

}  // namespace
}  // namespace policy_reader

common::Result<PolicySet, common::json::SchemaError> PolicySet::from_value(const common::json::Value& doc) {
  return policy_reader::read_policy_set(policy_reader::ValueSource(doc));
}

}  // namespace ostrel::core
