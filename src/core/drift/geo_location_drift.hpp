#pragma once
#include <optional>
#include <string_view>

#include "core/drift/drift_detector.hpp"

namespace ostrel::core {

// A change of network address within a session. Strict mode (no distance limit) treats any change
// as a violation; tolerant mode only warns while the origin and current locations are known to be
// within the limit.
class GeoLocationDrift final : public DriftDetector {
 public:
  static constexpr std::string_view kName = "geo_drift";

  explicit GeoLocationDrift(std::optional<double> max_distance_km = std::nullopt)
      : max_distance_km_(max_distance_km) {}

  std::string_view name() const override { return kName; }
  runtime::Task<DriftSignal> detect(const ActionContext& ctx) const override;
  DriftSignal signal(const ActionContext& ctx) const;

  std::optional<double> max_distance_km() const { return max_distance_km_; }

 private:
  std::optional<double> max_distance_km_;
};

}  // namespace ostrel::core
