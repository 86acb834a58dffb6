#pragma once
#include <string_view>

#include "core/action.hpp"
#include "core/drift/drift_signal.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {

// One behavioural check over a context. Detectors are immutable and keep no history: everything
// they compare arrives in the context, so concurrent detect() calls need no locking.
class DriftDetector {
 public:
  virtual ~DriftDetector() = default;
  virtual std::string_view name() const = 0;
  virtual runtime::Task<DriftSignal> detect(const ActionContext& ctx) const = 0;
};

}  // namespace ostrel::core
