#pragma once
// What the runtime's test files share: the process-wide runtime and a drop witness.
#include <atomic>
#include <stdexcept>

#include "runtime/runtime.hpp"

namespace ostrel::runtime::test_support {

// The shared runtime; a test cannot go on without one, so failing to start it throws.
inline Runtime& shared() {
  auto rt = runtime();
  if (!rt) throw std::runtime_error(rt.error().display());
  return **rt;
}

// Sets its flag when destroyed: shows that a task's frame (and everything it owns) was released.
struct DropFlag {
  std::atomic<bool>* flag;
  ~DropFlag() { flag->store(true); }
};

}  // namespace ostrel::runtime::test_support
