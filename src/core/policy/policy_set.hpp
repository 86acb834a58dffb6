#pragma once
// The policy document: rules, their effect and the condition vocabulary. One schema is read
// from three carriers (TOML text, JSON text, and the JSON data model that Python dicts are
// converted to); every malformed document is refused whole.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/json/schema_error.hpp"
#include "common/json/value.hpp"
#include "core/action.hpp"
#include "core/ostrel_error.hpp"

namespace ostrel::core {

enum class Effect : std::uint8_t { Permit, Refuse };
std::string_view effect_text(Effect effect);  // "permit", "refuse"

// One alternative per condition kind. Durations and time windows stay text: they are read at
// evaluation, so a bad one never rejects a document.
namespace cond {
struct IdentityRole {
  std::string role;
  friend bool operator==(const IdentityRole&, const IdentityRole&) = default;
};
struct IdentityKind {
  PrincipalKind kind;
  friend bool operator==(const IdentityKind&, const IdentityKind&) = default;
};
struct IdentityId {
  std::string id;
  friend bool operator==(const IdentityId&, const IdentityId&) = default;
};
struct Action {
  std::string pattern;
  friend bool operator==(const Action&, const Action&) = default;
};
struct ParamMax {
  std::string field;
  double max;
  friend bool operator==(const ParamMax&, const ParamMax&) = default;
};
struct ParamMin {
  std::string field;
  double min;
  friend bool operator==(const ParamMin&, const ParamMin&) = default;
};
struct ParamIn {
  std::string field;
  std::vector<std::string> values;
  friend bool operator==(const ParamIn&, const ParamIn&) = default;
};
struct RateLimit {
  std::uint32_t max;
  std::string window;
  friend bool operator==(const RateLimit&, const RateLimit&) = default;
};
struct SessionAgeMax {
  std::string duration;
  friend bool operator==(const SessionAgeMax&, const SessionAgeMax&) = default;
};
struct Resource {
  std::string pattern;
  friend bool operator==(const Resource&, const Resource&) = default;
};
struct TimeWindow {
  std::string window;
  friend bool operator==(const TimeWindow&, const TimeWindow&) = default;
};
}  // namespace cond

// Alternatives in the fixed order of the kind names.
using Condition = std::variant<cond::IdentityRole, cond::IdentityKind, cond::IdentityId, cond::Action,
                               cond::ParamMax, cond::ParamMin, cond::ParamIn, cond::RateLimit,
                               cond::SessionAgeMax, cond::Resource, cond::TimeWindow>;

// "identity_role", ..., "time_window": the key that names the kind in a document.
std::string_view condition_kind_name(const Condition& condition);

inline constexpr std::uint32_t DEFAULT_POLICY_PRIORITY = 100;

struct Policy {
  std::string name;
  Effect effect = Effect::Refuse;
  std::vector<Condition> conditions;
  std::optional<std::string> description;
  std::uint32_t priority = DEFAULT_POLICY_PRIORITY;
  friend bool operator==(const Policy&, const Policy&) = default;
};

struct PolicySet {
  std::vector<Policy> policies;  // in document order

  // Errors are the parse kind, "policy parse error: {message at line and column, excerpt}".
  static common::Result<PolicySet, PolicyError> from_toml(std::string_view text);
  // The JSON reader's message with its line and column.
  static common::Result<PolicySet, common::json::SchemaError> from_json(std::string_view text);
  // A document already in the JSON data model (a converted Python object); no positions.
  static common::Result<PolicySet, common::json::SchemaError> from_value(const common::json::Value& doc);

  friend bool operator==(const PolicySet&, const PolicySet&) = default;
};

}  // namespace ostrel::core
