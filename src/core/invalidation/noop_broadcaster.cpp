#include "core/invalidation/noop_broadcaster.hpp"

namespace ostrel::core {

runtime::Task<InvalidationBroadcaster::PublishResult> NoopInvalidationBroadcaster::publish(InvalidationScope) {
  co_return PublishResult{};
}

}  // namespace ostrel::core
