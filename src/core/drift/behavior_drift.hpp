#pragma once
#include <cstdint>
#include <string_view>

#include "common/time.hpp"
#include "core/drift/drift_detector.hpp"

namespace ostrel::core {

// The session's average action rate per whole minute. The first two minutes count as one, so a
// burst at the start of a session is judged against a single minute.
class BehaviorDrift final : public DriftDetector {
 public:
  static constexpr std::string_view kName = "behavior_drift";

  BehaviorDrift(std::uint64_t warn_per_min, std::uint64_t violation_per_min)
      : warn_per_min_(warn_per_min), violation_per_min_(violation_per_min) {}

  std::string_view name() const override { return kName; }
  // Reads the clock when it runs.
  runtime::Task<DriftSignal> detect(const ActionContext& ctx) const override;
  DriftSignal signal_at(const ActionContext& ctx, const common::Instant& now) const;

  std::uint64_t warn_per_min() const { return warn_per_min_; }
  std::uint64_t violation_per_min() const { return violation_per_min_; }

 private:
  std::uint64_t warn_per_min_;
  std::uint64_t violation_per_min_;
};

}  // namespace ostrel::core
