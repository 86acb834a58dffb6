#pragma once
#include <cstddef>
#include <memory>

#include "core/invalidation/broadcaster.hpp"

namespace ostrel::core {

// Delivers to the subscriptions of this process. The channel closes when this object is
// destroyed, i.e. when its last shared holder lets go; listeners do not hold it.
class InMemoryInvalidationBroadcaster final : public InvalidationBroadcaster {
 public:
  static constexpr std::size_t DEFAULT_CAPACITY = 1024;

  InMemoryInvalidationBroadcaster() : InMemoryInvalidationBroadcaster(DEFAULT_CAPACITY) {}
  // Keeps `capacity` scopes for subscriptions that fall behind. Zero is a programming error
  // (std::invalid_argument).
  explicit InMemoryInvalidationBroadcaster(std::size_t capacity) : sender_(capacity) {}
  // The shared form every holder (gates, listeners' set-up, Python objects) works with.
  static std::shared_ptr<InMemoryInvalidationBroadcaster> with_capacity(std::size_t capacity = DEFAULT_CAPACITY) {
    return std::make_shared<InMemoryInvalidationBroadcaster>(capacity);
  }

  // Never suspends and never fails; with no subscription the scope is dropped.
  runtime::Task<PublishResult> publish(InvalidationScope scope) override;
  InvalidationSubscription subscribe() override { return sender_.subscribe(); }

  std::size_t subscriber_count() const { return sender_.receiver_count(); }
  std::size_t capacity() const noexcept { return sender_.capacity(); }

 private:
  runtime::BroadcastSender<InvalidationScope> sender_;
};

}  // namespace ostrel::core
