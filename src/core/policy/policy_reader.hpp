#pragma once
// The one schema reader of policy documents, written once over any source tree that can say
// what a node is and walk its members in document order (TOML tables, JSON text, the JSON
// data model). It reads each value exactly once, front to back, so a forward-only JSON walker
// serves as well as a tree. The first violation in document order aborts the whole read.
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/error.hpp"
#include "common/json/schema_error.hpp"
#include "core/action.hpp"
#include "core/policy/policy_set.hpp"

namespace ostrel::core::policy_reader {

using common::json::SchemaError;
using Status = common::Result<void, SchemaError>;

enum class NodeType { Null, Boolean, Integer, Float, String, Sequence, Map, Other };

struct Pos {
  std::size_t line = 0;  // 1-based; 0 when the source has no positions
  std::size_t column = 0;
};

// What a source node offers. Members and elements are visited with a callback returning
// Status; the first error stops the walk and is returned.
template <class N>
concept Source = requires(const N& n) {
  { n.type() } -> std::same_as<NodeType>;
  { n.describe() } -> std::convertible_to<std::string>;  // "integer `-1`", "string \"x\"", "map", ...
  { n.position() } -> std::same_as<Pos>;
  { n.string() } -> std::convertible_to<std::string_view>;  // String only
  { n.number() } -> std::same_as<double>;                   // Integer or Float
  { n.non_negative() } -> std::same_as<std::optional<std::uint64_t>>;  // Integer; empty if negative
};

inline constexpr std::array<std::string_view, 2> kDocumentFields = {"policies", "policy"};
inline constexpr std::array<std::string_view, 5> kRuleFields = {"name", "effect", "conditions", "description",
                                                                "priority"};
inline constexpr std::array<std::string_view, 2> kEffects = {"permit", "refuse"};
inline constexpr std::array<std::string_view, 11> kConditionKinds = {
    "identity_role", "identity_kind", "identity_id",     "action",   "param_max",   "param_min",
    "param_in",      "rate_limit",    "session_age_max", "resource", "time_window",
};
inline constexpr std::array<std::string_view, 5> kPrincipalKinds = {"user", "agent", "service", "scheduler",
                                                                    "external"};
inline constexpr std::array<std::string_view, 2> kParamMaxFields = {"field", "max"};
inline constexpr std::array<std::string_view, 2> kParamMinFields = {"field", "min"};
inline constexpr std::array<std::string_view, 2> kParamInFields = {"field", "values"};
inline constexpr std::array<std::string_view, 2> kRateLimitFields = {"max", "window"};

inline SchemaError at(SchemaError e, Pos p) {
  if (e.line == 0) {
    e.line = p.line;
    e.column = p.column;
  }
  return e;
}

template <Source N>
auto fail_at(const N& node, SchemaError e) {
  return common::fail(at(std::move(e), node.position()));
}

template <Source N>
common::Result<std::string, SchemaError> read_string(const N& node) {
  if (node.type() != NodeType::String) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), "a string"));
  }
  return std::string(node.string());
}

template <Source N>
common::Result<double, SchemaError> read_f64(const N& node) {
  const NodeType t = node.type();
  if (t != NodeType::Integer && t != NodeType::Float) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), "f64"));
  }
  return node.number();
}

template <Source N>
common::Result<std::uint32_t, SchemaError> read_u32(const N& node) {
  if (node.type() != NodeType::Integer) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), "u32"));
  }
  const std::optional<std::uint64_t> v = node.non_negative();
  if (!v || *v > std::numeric_limits<std::uint32_t>::max()) {
    return fail_at(node, SchemaError::invalid_value(node.describe(), "u32"));
  }
  return static_cast<std::uint32_t>(*v);
}

template <std::size_t K>
std::optional<std::size_t> index_of(const std::array<std::string_view, K>& names, std::string_view key) {
  for (std::size_t i = 0; i < K; ++i) {
    if (names[i] == key) return i;
  }
  return std::nullopt;
}

// A map with a fixed set of keys: unknown and repeated keys are refused where they stand,
// missing required ones (the first `required` names) afterwards, in declaration order.
template <Source N, std::size_t K, class OnField>
Status read_struct(const N& node, std::string_view struct_name, const std::array<std::string_view, K>& fields,
                   std::size_t required, OnField&& on_field) {
  if (node.type() != NodeType::Map) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), struct_name));
  }
  std::array<bool, K> seen{};
  Status walked = node.for_each_member([&](std::string_view key, Pos key_pos, const N& value) -> Status {
    const auto i = index_of(fields, key);
    if (!i) return common::fail(at(SchemaError::unknown_field(key, fields), key_pos));
    if (seen[*i]) return common::fail(at(SchemaError::duplicate_field(key), key_pos));
    seen[*i] = true;
    return on_field(*i, value);
  });
  if (!walked) return walked;
  for (std::size_t i = 0; i < required && i < K; ++i) {
    if (!seen[i]) return fail_at(node, SchemaError::missing_field(fields[i]));
  }
  return {};
}

template <Source N, class T, class Read>
common::Result<std::vector<T>, SchemaError> read_sequence(const N& node, Read&& read_one) {
  if (node.type() != NodeType::Sequence) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), "a sequence"));
  }
  std::vector<T> out;
  Status walked = node.for_each_element([&](const N& element) -> Status {
    auto v = read_one(element);
    if (!v) return common::fail(std::move(v.error()));
    out.push_back(std::move(*v));
    return {};
  });
  if (!walked) return common::fail(std::move(walked.error()));
  return out;
}

// A string naming one of a fixed list of variants.
template <Source N, std::size_t K>
common::Result<std::size_t, SchemaError> read_variant(const N& node, const std::array<std::string_view, K>& names) {
  if (node.type() != NodeType::String) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), common::json::expected_names(names)));
  }
  const std::string_view s = node.string();
  const auto i = index_of(names, s);
  if (!i) return fail_at(node, SchemaError::unknown_variant(s, names));
  return *i;
}

template <Source N>
common::Result<Condition, SchemaError> read_condition_payload(std::size_t kind, const N& v) {
  auto string_payload = [&](auto make) -> common::Result<Condition, SchemaError> {
    auto s = read_string(v);
    if (!s) return common::fail(std::move(s.error()));
    return Condition{make(std::move(*s))};
  };
  switch (kind) {
    case 0: return string_payload([](std::string s) { return cond::IdentityRole{std::move(s)}; });
    case 1: {
      auto k = read_variant(v, kPrincipalKinds);
      if (!k) return common::fail(std::move(k.error()));
      return Condition{cond::IdentityKind{static_cast<PrincipalKind>(*k)}};
    }
    case 2: return string_payload([](std::string s) { return cond::IdentityId{std::move(s)}; });
    case 3: return string_payload([](std::string s) { return cond::Action{std::move(s)}; });
    case 4:
    case 5: {
      std::string field;
      double bound = 0;
      const auto& names = kind == 4 ? kParamMaxFields : kParamMinFields;
      Status st = read_struct(v, kind == 4 ? "struct ParamMax" : "struct ParamMin", names, 2,
                              [&](std::size_t i, const N& f) -> Status {
                                if (i == 0) {
                                  auto s = read_string(f);
                                  if (!s) return common::fail(std::move(s.error()));
                                  field = std::move(*s);
                                } else {
                                  auto d = read_f64(f);
                                  if (!d) return common::fail(std::move(d.error()));
                                  bound = *d;
                                }
                                return {};
                              });
      if (!st) return common::fail(std::move(st.error()));
      if (kind == 4) return Condition{cond::ParamMax{std::move(field), bound}};
      return Condition{cond::ParamMin{std::move(field), bound}};
    }
    case 6: {
      cond::ParamIn p;
      Status st = read_struct(v, "struct ParamIn", kParamInFields, 2, [&](std::size_t i, const N& f) -> Status {
        if (i == 0) {
          auto s = read_string(f);
          if (!s) return common::fail(std::move(s.error()));
          p.field = std::move(*s);
        } else {
          auto list = read_sequence<N, std::string>(f, [](const N& e) { return read_string(e); });
          if (!list) return common::fail(std::move(list.error()));
          p.values = std::move(*list);
        }
        return {};
      });
      if (!st) return common::fail(std::move(st.error()));
      return Condition{std::move(p)};
    }
    case 7: {
      cond::RateLimit r{0, {}};
      Status st = read_struct(v, "struct RateLimit", kRateLimitFields, 2, [&](std::size_t i, const N& f) -> Status {
        if (i == 0) {
          auto n = read_u32(f);
          if (!n) return common::fail(std::move(n.error()));
          r.max = *n;
        } else {
          auto s = read_string(f);
          if (!s) return common::fail(std::move(s.error()));
          r.window = std::move(*s);
        }
        return {};
      });
      if (!st) return common::fail(std::move(st.error()));
      return Condition{std::move(r)};
    }
    case 8: return string_payload([](std::string s) { return cond::SessionAgeMax{std::move(s)}; });
    case 9: return string_payload([](std::string s) { return cond::Resource{std::move(s)}; });
    default: return string_payload([](std::string s) { return cond::TimeWindow{std::move(s)}; });
  }
}

inline constexpr std::string_view kSingleKeyMap = "map with a single key";

template <Source N>
common::Result<Condition, SchemaError> read_condition(const N& node) {
  if (node.type() != NodeType::Map) {
    return fail_at(node, SchemaError::invalid_type(node.describe(), kSingleKeyMap));
  }
  std::optional<Condition> out;
  bool any = false;
  Status walked = node.for_each_member([&](std::string_view key, Pos key_pos, const N& value) -> Status {
    if (any) {
      return common::fail(at(SchemaError::invalid_value("map with more than one key", kSingleKeyMap), key_pos));
    }
    any = true;
    const auto kind = index_of(kConditionKinds, key);
    if (!kind) return common::fail(at(SchemaError::unknown_variant(key, kConditionKinds), key_pos));
    auto c = read_condition_payload(*kind, value);
    if (!c) return common::fail(std::move(c.error()));
    out = std::move(*c);
    return {};
  });
  if (!walked) return common::fail(std::move(walked.error()));
  if (!out) return fail_at(node, SchemaError::invalid_value("empty map", kSingleKeyMap));
  return std::move(*out);
}

template <Source N>
common::Result<Policy, SchemaError> read_rule(const N& node) {
  Policy p;
  Status st = read_struct(node, "struct Policy", kRuleFields, 3, [&](std::size_t i, const N& v) -> Status {
    switch (i) {
      case 0: {
        auto s = read_string(v);
        if (!s) return common::fail(std::move(s.error()));
        p.name = std::move(*s);
        return {};
      }
      case 1: {
        auto e = read_variant(v, kEffects);
        if (!e) return common::fail(std::move(e.error()));
        p.effect = *e == 0 ? Effect::Permit : Effect::Refuse;
        return {};
      }
      case 2: {
        auto list = read_sequence<N, Condition>(v, [](const N& c) { return read_condition(c); });
        if (!list) return common::fail(std::move(list.error()));
        p.conditions = std::move(*list);
        return {};
      }
      case 3: {
        if (v.type() == NodeType::Null) {
          p.description.reset();
          return {};
        }
        auto s = read_string(v);
        if (!s) return common::fail(std::move(s.error()));
        p.description = std::move(*s);
        return {};
      }
      default: {
        auto n = read_u32(v);
        if (!n) return common::fail(std::move(n.error()));
        p.priority = *n;
        return {};
      }
    }
  });
  if (!st) return common::fail(std::move(st.error()));
  return p;
}

template <Source N>
common::Result<PolicySet, SchemaError> read_policy_set(const N& root) {
  if (root.type() != NodeType::Map) {
    return fail_at(root, SchemaError::invalid_type(root.describe(), "struct PolicySet"));
  }
  PolicySet set;
  bool seen = false;
  Status walked = root.for_each_member([&](std::string_view key, Pos key_pos, const N& value) -> Status {
    if (!index_of(kDocumentFields, key)) {
      return common::fail(at(SchemaError::unknown_field(key, kDocumentFields), key_pos));
    }
    // Two spellings of one member: the second occurrence of either is a duplicate.
    if (seen) return common::fail(at(SchemaError::duplicate_field("policy"), key_pos));
    seen = true;
    auto rules = read_sequence<N, Policy>(value, [](const N& r) { return read_rule(r); });
    if (!rules) return common::fail(std::move(rules.error()));
    set.policies = std::move(*rules);
    return {};
  });
  if (!walked) return common::fail(std::move(walked.error()));
  return set;
}

// Shared descriptions of scalars, so that every source names a found value the same way.
std::string describe_float(double d);
std::string describe_string(std::string_view s);
std::string describe_integer(std::int64_t i);
std::string describe_unsigned(std::uint64_t u);

}  // namespace ostrel::core::policy_reader
