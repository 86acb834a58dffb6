#pragma once
#include "core/invalidation/broadcaster.hpp"

namespace ostrel::core {

// The gate's default: publishing discards the scope and succeeds. Its subscriptions never receive
// anything and only report closed once the broadcaster itself is gone.
class NoopInvalidationBroadcaster final : public InvalidationBroadcaster {
 public:
  NoopInvalidationBroadcaster() : sender_(1) {}

  runtime::Task<PublishResult> publish(InvalidationScope scope) override;
  InvalidationSubscription subscribe() override { return sender_.subscribe(); }

 private:
  runtime::BroadcastSender<InvalidationScope> sender_;
};

}  // namespace ostrel::core
