#pragma once
#include <chrono>

#include "runtime/task.hpp"

namespace ostrel::runtime {

class Runtime;

// Completes after `duration` (at the earliest), resuming on one of `rt`'s workers. An aborted
// spawned task stops here at once.
Task<void> sleep_for(Runtime& rt, std::chrono::steady_clock::duration duration);

}  // namespace ostrel::runtime
