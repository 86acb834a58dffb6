#pragma once
#include <cstdint>
#include <string_view>

#include "common/time.hpp"
#include "core/drift/drift_detector.hpp"

namespace ostrel::core {

// A session older than max_age must not continue; past three quarters of it, a warning.
class SessionAgeDrift final : public DriftDetector {
 public:
  static constexpr std::string_view kName = "session_age_drift";

  explicit SessionAgeDrift(std::int64_t max_age_secs) : max_age_secs_(max_age_secs) {}

  std::string_view name() const override { return kName; }
  // Reads the clock when it runs.
  runtime::Task<DriftSignal> detect(const ActionContext& ctx) const override;
  DriftSignal signal_at(const ActionContext& ctx, const common::Instant& now) const;

  std::int64_t max_age_secs() const { return max_age_secs_; }

 private:
  std::int64_t max_age_secs_;
};

}  // namespace ostrel::core
