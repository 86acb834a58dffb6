#include "core/drift/session_age_drift.hpp"

#include <string>

#include "core/drift/session_age.hpp"

namespace ostrel::core {
namespace {

// max * 3 / 4 truncated toward zero, without the overflow of forming max * 3 for large limits:
// with max = 4q + r (r taking max's sign), max * 3 / 4 = 3q + 3r / 4.
std::int64_t three_quarters(std::int64_t max) { return max / 4 * 3 + max % 4 * 3 / 4; }

}  // namespace

runtime::Task<DriftSignal> SessionAgeDrift::detect(const ActionContext& ctx) const {
  co_return signal_at(ctx, common::Instant::now());
}

DriftSignal SessionAgeDrift::signal_at(const ActionContext& ctx, const common::Instant& now) const {
  const std::int64_t age = session_age_secs(ctx.session.started_at, now);
  const std::string age_text = std::to_string(age);
  const std::string max_text = std::to_string(max_age_secs_);
  if (age > max_age_secs_) {
    return DriftViolation{std::string(kName),
                          "session age (" + age_text + "s) exceeds maximum (" + max_text + "s)"};
  }
  if (age > three_quarters(max_age_secs_)) {
    return DriftWarning{std::string(kName),
                        "session approaching max age (" + age_text + "s / " + max_text + "s)"};
  }
  return NoDrift{};
}

}  // namespace ostrel::core
