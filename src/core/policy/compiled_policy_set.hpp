#pragma once
// A policy document made ready for evaluation: rules in evaluation order, and whatever a
// condition carries as text (durations, time windows and their zones) read once per load
// instead of once per evaluation. Immutable once built.
#include <cstdint>
#include <variant>
#include <vector>

#include "core/policy/policy_set.hpp"
#include "core/policy/time_window.hpp"

namespace ostrel::core {

inline constexpr std::uint64_t DEFAULT_RATE_LIMIT_WINDOW_SECS = 3600;
inline constexpr std::uint64_t DEFAULT_SESSION_AGE_MAX_SECS = 86400;

// Per condition: seconds for `rate_limit` (the window) and `session_age_max` (the limit), with
// the fallbacks applied to durations that do not read; the reading of a `time_window`, whose
// failure is reported each time the condition is examined; nothing for the other kinds.
using PreparedCondition = std::variant<std::monostate, std::uint64_t, TimeWindow, TimeWindowError>;

struct CompiledRule {
  Policy policy;
  std::vector<PreparedCondition> prepared;  // parallel to policy.conditions
};

class CompiledPolicySet {
 public:
  // Orders the rules by priority, ascending; rules of equal priority keep document order.
  explicit CompiledPolicySet(PolicySet set);

  const std::vector<CompiledRule>& rules() const noexcept { return rules_; }
  bool has_rate_limit() const noexcept { return has_rate_limit_; }

 private:
  std::vector<CompiledRule> rules_;
  bool has_rate_limit_ = false;
};

}  // namespace ostrel::core
