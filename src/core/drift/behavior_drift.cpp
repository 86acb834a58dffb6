#include "core/drift/behavior_drift.hpp"

#include <string>

#include "core/drift/session_age.hpp"

namespace ostrel::core {

runtime::Task<DriftSignal> BehaviorDrift::detect(const ActionContext& ctx) const {
  co_return signal_at(ctx, common::Instant::now());
}

DriftSignal BehaviorDrift::signal_at(const ActionContext& ctx, const common::Instant& now) const {
  std::int64_t minutes = session_age_secs(ctx.session.started_at, now) / 60;
  // Also covers a session that claims to start in the future.
  if (minutes < 2) minutes = 1;
  const std::uint64_t rate = ctx.session.action_count / static_cast<std::uint64_t>(minutes);
  if (rate > violation_per_min_) {
    return DriftViolation{std::string(kName), "action rate (" + std::to_string(rate) +
                                                  "/min) exceeds violation threshold (" +
                                                  std::to_string(violation_per_min_) + ")"};
  }
  if (rate > warn_per_min_) {
    return DriftWarning{std::string(kName), "elevated action rate: " + std::to_string(rate) + "/min"};
  }
  return NoDrift{};
}

}  // namespace ostrel::core
