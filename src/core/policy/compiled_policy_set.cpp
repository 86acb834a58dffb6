#include "core/policy/compiled_policy_set.hpp"

#include <algorithm>
#include <utility>

#include "core/policy/duration.hpp"

namespace ostrel::core {
namespace {

PreparedCondition prepare(const Condition& c) {
  if (const auto* rl = std::get_if<cond::RateLimit>(&c)) {
    return parse_duration_secs(rl->window).value_or(DEFAULT_RATE_LIMIT_WINDOW_SECS);
  }
  if (const auto* age = std::get_if<cond::SessionAgeMax>(&c)) {
    return parse_duration_secs(age->duration).value_or(DEFAULT_SESSION_AGE_MAX_SECS);
  }
  if (const auto* tw = std::get_if<cond::TimeWindow>(&c)) {
    auto w = parse_time_window(tw->window);
    if (!w) return std::move(w.error());
    return *w;
  }
  return std::monostate{};
}

}  // namespace

CompiledPolicySet::CompiledPolicySet(PolicySet set) {
  rules_.reserve(set.policies.size());
  for (Policy& p : set.policies) {
    CompiledRule r;
    r.prepared.reserve(p.conditions.size());
    for (const Condition& c : p.conditions) {
      r.prepared.push_back(prepare(c));
      has_rate_limit_ = has_rate_limit_ || std::holds_alternative<cond::RateLimit>(c);
    }
    r.policy = std::move(p);
    rules_.push_back(std::move(r));
  }
  std::stable_sort(rules_.begin(), rules_.end(), [](const CompiledRule& a, const CompiledRule& b) {
    return a.policy.priority < b.policy.priority;
  });
}

}  // namespace ostrel::core
