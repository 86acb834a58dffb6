#pragma once
#include <string_view>

#include "core/drift/drift_detector.hpp"

namespace ostrel::core {

// Any change of the device fingerprint, hash or description, is a violation; it never warns.
class DeviceDrift final : public DriftDetector {
 public:
  static constexpr std::string_view kName = "device_drift";

  std::string_view name() const override { return kName; }
  runtime::Task<DriftSignal> detect(const ActionContext& ctx) const override;
  DriftSignal signal(const ActionContext& ctx) const;
};

}  // namespace ostrel::core
