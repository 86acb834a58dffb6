#include "core/drift/device_drift.hpp"

#include <string>

namespace ostrel::core {

runtime::Task<DriftSignal> DeviceDrift::detect(const ActionContext& ctx) const { co_return signal(ctx); }

DriftSignal DeviceDrift::signal(const ActionContext& ctx) const {
  const auto& current = ctx.env.device;
  const auto& origin = ctx.session.origin_device;
  if (!current || !origin || *current == *origin) return NoDrift{};
  return DriftViolation{std::string(kName), "device fingerprint changed mid-session"};
}

}  // namespace ostrel::core
