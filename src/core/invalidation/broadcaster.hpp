#pragma once
// The contract through which invalidations reach every listener, in this process or in others.
#include "common/error.hpp"
#include "core/invalidation/broadcast_error.hpp"
#include "core/invalidation_scope.hpp"
#include "runtime/broadcast.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {

// Receives, in publish order, every scope published after it was created. A subscription that
// falls more than the channel's capacity behind receives runtime::Lagged with the number lost,
// then continues with the oldest scope still kept; once every sending end is gone it receives
// what is left, then runtime::Closed. Dropping it unsubscribes.
using InvalidationSubscription = runtime::BroadcastReceiver<InvalidationScope>;

// Shared by reference between gates, listeners and Python objects; every implementation allows
// concurrent calls from any thread.
class InvalidationBroadcaster {
 public:
  using PublishResult = common::Result<void, BroadcastError>;

  virtual ~InvalidationBroadcaster() = default;
  // Announces `scope`. Whether it succeeds or not, the caller's own verdict stands: a failure is
  // for the log, never a reason to change a decision.
  virtual runtime::Task<PublishResult> publish(InvalidationScope scope) = 0;
  // A new subscription, effective immediately.
  virtual InvalidationSubscription subscribe() = 0;
};

}  // namespace ostrel::core
