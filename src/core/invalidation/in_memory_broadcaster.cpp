#include "core/invalidation/in_memory_broadcaster.hpp"

namespace ostrel::core {

runtime::Task<InvalidationBroadcaster::PublishResult> InMemoryInvalidationBroadcaster::publish(
    InvalidationScope scope) {
  // With no subscription the channel hands the scope back; nobody could ever receive it, and
  // nothing is kept for later subscribers, so dropping it is the contract, not an error.
  (void)sender_.send(std::move(scope));
  co_return PublishResult{};
}

}  // namespace ostrel::core
