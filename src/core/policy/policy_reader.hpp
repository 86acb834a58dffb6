#pragma once
// The one schema reader of policy documents. It is written once against the interface of the
// JSON reading layer's Node (typed getters that return the standard messages with positions,
// record and one-key-variant walkers), so JSON text and the JSON data model are read by that
// layer directly, and TOML through a node with the same interface. Each value is read once, in
// document order; the first violation aborts the whole read.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/json/reader.hpp"
#include "common/json/schema_error.hpp"
#include "core/action.hpp"
#include "core/policy/policy_set.hpp"

namespace ostrel::core::policy_reader {

using common::json::FieldAlias;
using common::json::ObjectSchema;
using common::json::SchemaError;
using common::json::UnknownFields;
using common::json::field_bit;
using Status = common::Result<void, SchemaError>;

inline constexpr std::string_view kDocumentFields[] = {"policies", "policy"};
inline constexpr FieldAlias kDocumentAliases[] = {{0, 1}};  // either spelling is the member `policy`
inline constexpr std::string_view kRuleFields[] = {"name", "effect", "conditions", "description", "priority"};
inline constexpr std::string_view kEffects[] = {"permit", "refuse"};
inline constexpr std::string_view kConditionKinds[] = {
    "identity_role", "identity_kind", "identity_id",     "action",   "param_max",   "param_min",
    "param_in",      "rate_limit",    "session_age_max", "resource", "time_window",
};
inline constexpr std::string_view kPrincipalKinds[] = {"user", "agent", "service", "scheduler", "external"};
inline constexpr std::string_view kParamMaxFields[] = {"field", "max"};
inline constexpr std::string_view kParamMinFields[] = {"field", "min"};
inline constexpr std::string_view kParamInFields[] = {"field", "values"};
inline constexpr std::string_view kRateLimitFields[] = {"max", "window"};

inline constexpr ObjectSchema kDocumentSchema{.expecting = "struct PolicySet",
                                              .fields = kDocumentFields,
                                              .required = 0,
                                              .unknown = UnknownFields::Reject,
                                              .aliases = kDocumentAliases};
inline constexpr ObjectSchema kRuleSchema{.expecting = "struct Policy",
                                          .fields = kRuleFields,
                                          .required = field_bit(0) | field_bit(1) | field_bit(2),
                                          .unknown = UnknownFields::Reject};
inline constexpr std::uint64_t kBoth = field_bit(0) | field_bit(1);
inline constexpr ObjectSchema kParamMaxSchema{
    .expecting = "struct ParamMax", .fields = kParamMaxFields, .required = kBoth, .unknown = UnknownFields::Reject};
inline constexpr ObjectSchema kParamMinSchema{
    .expecting = "struct ParamMin", .fields = kParamMinFields, .required = kBoth, .unknown = UnknownFields::Reject};
inline constexpr ObjectSchema kParamInSchema{
    .expecting = "struct ParamIn", .fields = kParamInFields, .required = kBoth, .unknown = UnknownFields::Reject};
inline constexpr ObjectSchema kRateLimitSchema{.expecting = "struct RateLimit",
                                               .fields = kRateLimitFields,
                                               .required = kBoth,
                                               .unknown = UnknownFields::Reject};

inline constexpr std::string_view kEffectExpected = "`permit` or `refuse`";
inline constexpr std::string_view kPrincipalKindExpected =
    "one of `user`, `agent`, `service`, `scheduler`, `external`";
inline constexpr std::string_view kConditionExpected = "map with a single key";

template <class T, class E>
Status store(T& out, common::Result<E, SchemaError>&& r) {
  if (!r) return common::fail(std::move(r.error()));
  out = std::move(*r);
  return {};
}

template <class N>
common::Result<Condition, SchemaError> read_condition(N& node) {
  Condition out;
  Status st = node.variant(
      kConditionKinds,
      [&](std::size_t kind, N& v) -> Status {
        switch (kind) {
          case 0: {
            cond::IdentityRole c;
            if (Status s = store(c.role, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
          case 1: {
            auto k = v.variant_name(kPrincipalKinds, kPrincipalKindExpected);
            if (!k) return common::fail(std::move(k.error()));
            out = cond::IdentityKind{static_cast<PrincipalKind>(*k)};
            return {};
          }
          case 2: {
            cond::IdentityId c;
            if (Status s = store(c.id, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
          case 3: {
            cond::Action c;
            if (Status s = store(c.pattern, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
          case 4: {
            cond::ParamMax c{{}, 0};
            Status s = v.object(kParamMaxSchema, [&](std::size_t f, N& x) -> Status {
              return f == 0 ? store(c.field, x.string()) : store(c.max, x.f64());
            });
            if (!s) return s;
            out = std::move(c);
            return {};
          }
          case 5: {
            cond::ParamMin c{{}, 0};
            Status s = v.object(kParamMinSchema, [&](std::size_t f, N& x) -> Status {
              return f == 0 ? store(c.field, x.string()) : store(c.min, x.f64());
            });
            if (!s) return s;
            out = std::move(c);
            return {};
          }
          case 6: {
            cond::ParamIn c;
            Status s = v.object(kParamInSchema, [&](std::size_t f, N& x) -> Status {
              if (f == 0) return store(c.field, x.string());
              return x.elements([&](N& e) -> Status {
                auto str = e.string();
                if (!str) return common::fail(std::move(str.error()));
                c.values.push_back(std::move(*str));
                return {};
              });
            });
            if (!s) return s;
            out = std::move(c);
            return {};
          }
          case 7: {
            cond::RateLimit c{0, {}};
            Status s = v.object(kRateLimitSchema, [&](std::size_t f, N& x) -> Status {
              return f == 0 ? store(c.max, x.u32()) : store(c.window, x.string());
            });
            if (!s) return s;
            out = std::move(c);
            return {};
          }
          case 8: {
            cond::SessionAgeMax c;
            if (Status s = store(c.duration, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
          case 9: {
            cond::Resource c;
            if (Status s = store(c.pattern, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
          default: {
            cond::TimeWindow c;
            if (Status s = store(c.window, v.string()); !s) return s;
            out = std::move(c);
            return {};
          }
        }
      },
      kConditionExpected);
  if (!st) return common::fail(std::move(st.error()));
  return out;
}

template <class N>
common::Result<Policy, SchemaError> read_rule(N& node) {
  Policy p;
  Status st = node.object(kRuleSchema, [&](std::size_t field, N& v) -> Status {
    switch (field) {
      case 0: return store(p.name, v.string());
      case 1: {
        auto e = v.variant_name(kEffects, kEffectExpected);
        if (!e) return common::fail(std::move(e.error()));
        p.effect = *e == 0 ? Effect::Permit : Effect::Refuse;
        return {};
      }
      case 2:
        return v.elements([&](N& c) -> Status {
          auto condition = read_condition(c);
          if (!condition) return common::fail(std::move(condition.error()));
          p.conditions.push_back(std::move(*condition));
          return {};
        });
      case 3: {
        auto is_null = v.null();
        if (!is_null) return common::fail(std::move(is_null.error()));
        if (*is_null) {
          p.description.reset();
          return {};
        }
        return store(p.description, v.string());
      }
      default: return store(p.priority, v.u32());
    }
  });
  if (!st) return common::fail(std::move(st.error()));
  return p;
}

template <class N>
common::Result<PolicySet, SchemaError> read_policy_set(N& root) {
  PolicySet set;
  Status st = root.object(kDocumentSchema, [&](std::size_t, N& v) -> Status {
    return v.elements([&](N& r) -> Status {
      auto rule = read_rule(r);
      if (!rule) return common::fail(std::move(rule.error()));
      set.policies.push_back(std::move(*rule));
      return {};
    });
  });
  if (!st) return common::fail(std::move(st.error()));
  return set;
}

}  // namespace ostrel::core::policy_reader
