#include "core/invalidation/listener.hpp"

#include <string_view>
#include <utility>
#include <variant>

#include "common/log.hpp"
#include "runtime/runtime.hpp"

namespace ostrel::core {
namespace {

constexpr std::string_view kLogTarget = "ostrel_core::invalidation";
constexpr std::string_view kLogFile = "core/src/invalidation";

void log_lagged(std::uint64_t dropped) {
  common::log::emit(common::log::Level::Warn, kLogTarget, kLogFile, "invalidation listener lagged, messages dropped",
                    {{"dropped", dropped}});
}

void log_closed() {
  common::log::emit(common::log::Level::Debug, kLogTarget, kLogFile,
                    "invalidation listener: channel closed, exiting");
}

runtime::Task<void> listen(InvalidationSubscription subscription, InvalidationCallback callback) {
  for (;;) {
    auto next = subscription.recv();
    runtime::Received<InvalidationScope> item = co_await std::move(next);
    if (item.index() == 0) {
      auto call = callback(std::move(std::get<0>(item)));
      co_await std::move(call);
    } else if (item.index() == 1) {
      log_lagged(std::get<1>(item).count);
    } else {
      log_closed();
      co_return;
    }
  }
}

}  // namespace

common::Result<runtime::JoinHandle, runtime::RuntimeFault> spawn_invalidation_listener(
    runtime::Runtime& rt, InvalidationBroadcaster& broadcaster, InvalidationCallback callback) {
  if (!callback) return common::fail(runtime::RuntimeFault::invalid_task());
  // The subscription is taken here, not when the task first runs: scopes published between this
  // call's return and the task's start must not be missed.
  return runtime::spawn(rt, listen(broadcaster.subscribe(), std::move(callback)));
}

common::Result<runtime::JoinHandle, runtime::RuntimeFault> spawn_invalidation_listener(
    InvalidationBroadcaster& broadcaster, InvalidationCallback callback) {
  auto rt = runtime::runtime();
  if (!rt) return common::fail(std::move(rt).error());
  return spawn_invalidation_listener(**rt, broadcaster, std::move(callback));
}

}  // namespace ostrel::core
