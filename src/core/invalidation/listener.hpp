#pragma once
// A background task that hands every scope of one subscription to a callback, one at a time.
#include <functional>

#include "common/error.hpp"
#include "core/invalidation/broadcaster.hpp"
#include "runtime/runtime_fault.hpp"
#include "runtime/spawn.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {


// Called once per scope; the listener awaits the returned task before taking the next scope.
// It runs on a runtime worker, and is destroyed there when the listener ends.
using InvalidationCallback = std::move_only_function<runtime::Task<void>(InvalidationScope)>;

// Subscribes to `broadcaster` before returning, so every scope published after this call reaches
// the callback, then starts the listener on `rt`. The task owns the subscription and the callback
// but not the broadcaster: it ends when the broadcaster's channel closes, or when aborted through
// the handle (after the callback in progress, if any, returns). Lost scopes are logged as
// "invalidation listener lagged, messages dropped" and the listener goes on.
common::Result<runtime::JoinHandle, runtime::RuntimeFault> spawn_invalidation_listener(
    runtime::Runtime& rt, InvalidationBroadcaster& broadcaster, InvalidationCallback callback);

// The same on the process-wide runtime, which is created if needed.
common::Result<runtime::JoinHandle, runtime::RuntimeFault> spawn_invalidation_listener(
    InvalidationBroadcaster& broadcaster, InvalidationCallback callback);

}  // namespace ostrel::core
