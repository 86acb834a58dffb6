#include "core/drift/drift_evaluator.hpp"

#include <string>
#include <variant>

#include "common/log.hpp"
#include "core/drift/behavior_drift.hpp"
#include "core/drift/device_drift.hpp"
#include "core/drift/geo_location_drift.hpp"
#include "core/drift/session_age_drift.hpp"
#include "core/permit_token.hpp"

namespace ostrel::core {
namespace {

constexpr std::string_view kLogTarget = "ostrel_core::drift";
constexpr std::string_view kLogFile = "core/src/drift";

constexpr std::int64_t kGateMaxSessionAgeSecs = 4 * 60 * 60;
constexpr std::uint64_t kGateWarnPerMin = 30;
constexpr std::uint64_t kGateViolationPerMin = 100;
constexpr std::size_t kGateWarningThreshold = 3;

// Built outside the coroutine body: constructed there, GCC 12 reports the target variant's string
// alternative as maybe-uninitialized (a false positive that -Werror turns into a failed build).
Verdict invalidate_session(const common::Uuid& session_id, std::string reason) {
  return Invalidate{
      InvalidationScope{SessionTarget{session_id}, std::move(reason), std::string(DriftEvaluator::kName)}};
}

}  // namespace

runtime::Task<Verdict> DriftEvaluator::evaluate(const ActionContext& ctx) const {
  using common::log::Level;
  std::size_t warnings = 0;
  for (const auto& detector : detectors_) {
    DriftSignal signal = co_await detector->detect(ctx);
    if (auto* w = std::get_if<DriftWarning>(&signal)) {
      common::log::emit(Level::Warn, kLogTarget, kLogFile, "drift warning",
                        {{"detector", std::string_view(w->detector)},
                         {"message", std::string_view(w->message)}});
      ++warnings;
    } else if (auto* v = std::get_if<DriftViolation>(&signal)) {
      common::log::emit(Level::Error, kLogTarget, kLogFile, "drift violation",
                        {{"detector", std::string_view(v->detector)},
                         {"message", std::string_view(v->reason)}});
      co_return invalidate_session(ctx.session.session_id, std::move(v->reason));
    }
  }
  if (warnings < warning_threshold_) {
    co_return Permit{PermitToken::mint(ctx.evaluation_id, ctx.action.name)};
  }
  std::string reason = std::to_string(warnings);
  reason += " concurrent drift warnings (threshold: ";
  reason += std::to_string(warning_threshold_);
  reason += ')';
  co_return Refuse{RefuseReason{std::string(kName), std::move(reason), ctx.evaluation_id,
                                RefuseCode::DRIFT_DETECTED}};
}

std::shared_ptr<DriftEvaluator> make_gate_drift_evaluator(std::optional<double> geo_drift_max_km) {
  std::vector<std::unique_ptr<DriftDetector>> detectors;
  detectors.push_back(std::make_unique<GeoLocationDrift>(geo_drift_max_km));
  detectors.push_back(std::make_unique<SessionAgeDrift>(kGateMaxSessionAgeSecs));
  detectors.push_back(std::make_unique<DeviceDrift>());
  detectors.push_back(std::make_unique<BehaviorDrift>(kGateWarnPerMin, kGateViolationPerMin));
  return std::make_shared<DriftEvaluator>(std::move(detectors), kGateWarningThreshold);
}

}  // namespace ostrel::core
