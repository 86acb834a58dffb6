#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "core/invalidation/in_memory_broadcaster.hpp"
#include "core/invalidation/listener.hpp"
#include "core/invalidation/noop_broadcaster.hpp"
#include "policy_run_task.hpp"
#include "runtime/runtime.hpp"

namespace ostrel::core {
namespace {

using namespace std::chrono_literals;
using common::log::Level;
using common::log::OwnedEvent;

constexpr auto kPatience = 10s;  // upper bound of every wait; passing runs take milliseconds

bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

InvalidationScope role_scope(int i) { return InvalidationScope{RoleTarget{"role-" + std::to_string(i)}, "r", "manual"}; }

// Publishes without a runtime: run_now throws if the task suspends, so this also checks that
// publishing never waits.
void publish(InvalidationBroadcaster& b, InvalidationScope scope) {
  auto r = testing::run_now(b.publish(std::move(scope)));
  ASSERT_TRUE(r.has_value()) << r.error().display();
}

// What a listener's callback saw, with a gate that can hold the callback inside a call.
struct Seen {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> roles;
  int inside = 0;       // callbacks running right now
  int most_inside = 0;  // the most that ever ran at once
  bool hold = false;    // while set, a callback waits (boundedly) before returning
  std::vector<std::thread::id> threads;

  std::size_t count() {
    std::lock_guard lock(mu);
    return roles.size();
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mu);
    return roles;
  }
  void set_hold(bool h) {
    {
      std::lock_guard lock(mu);
      hold = h;
    }
    cv.notify_all();
  }
};

runtime::Task<void> note(std::shared_ptr<Seen> seen, InvalidationScope scope) {
  std::unique_lock lock(seen->mu);
  seen->roles.push_back(std::get<RoleTarget>(scope.target).role);
  seen->threads.push_back(std::this_thread::get_id());
  seen->most_inside = std::max(seen->most_inside, ++seen->inside);
  seen->cv.wait_for(lock, kPatience, [&] { return !seen->hold; });
  --seen->inside;
  co_return;
}

InvalidationCallback recorder(std::shared_ptr<Seen> seen) {
  return [seen = std::move(seen)](InvalidationScope s) { return note(seen, std::move(s)); };
}

std::vector<OwnedEvent> listener_events(common::log::CapturingCollector& c) {
  std::vector<OwnedEvent> out;
  for (auto& e : c.events()) {
    if (e.target == "ostrel_core::invalidation") out.push_back(std::move(e));
  }
  return out;
}

TEST(Invalidation, BroadcastErrorTexts) {
  EXPECT_EQ(BroadcastError::backend_unavailable("no route").display(),
            "invalidation broadcast backend unavailable: no route");
  EXPECT_EQ(BroadcastError::lagged(18446744073709551615ull).display(),
            "invalidation subscriber lagged, 18446744073709551615 messages dropped");
  EXPECT_EQ(BroadcastError::closed().display(), "invalidation channel closed");
  EXPECT_EQ(BroadcastError::other("scope serialize: bad").display(), "invalidation broadcast: scope serialize: bad");
}

TEST(Invalidation, InMemoryDeliversToExistingSubscriptionsOnlyAndCountsThem) {
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  EXPECT_EQ(b->capacity(), 1024u);
  EXPECT_EQ(b->subscriber_count(), 0u);
  publish(*b, role_scope(0));  // nobody listens: dropped, still a success

  auto first = b->subscribe();
  publish(*b, role_scope(1));
  auto second = b->subscribe();
  EXPECT_EQ(b->subscriber_count(), 2u);
  publish(*b, role_scope(2));

  using R = runtime::TryReceived<InvalidationScope>;
  EXPECT_EQ(first.try_recv(), R(role_scope(1)));
  EXPECT_EQ(first.try_recv(), R(role_scope(2)));
  EXPECT_EQ(first.try_recv(), R(runtime::Empty{}));
  EXPECT_EQ(second.try_recv(), R(role_scope(2)));
  EXPECT_EQ(second.try_recv(), R(runtime::Empty{}));

  { auto gone = std::move(second); }
  EXPECT_EQ(b->subscriber_count(), 1u);
  EXPECT_THROW(InMemoryInvalidationBroadcaster::with_capacity(0), std::invalid_argument);
}

TEST(Invalidation, ChannelClosesWhenTheLastHolderOfTheBroadcasterIsGone) {
  using R = runtime::TryReceived<InvalidationScope>;
  {
    auto b = InMemoryInvalidationBroadcaster::with_capacity(4);
    auto holder = b;  // a second holder, as a gate would be
    auto sub = b->subscribe();
    publish(*b, role_scope(1));
    b.reset();
    EXPECT_EQ(sub.try_recv(), R(role_scope(1)));
    EXPECT_EQ(sub.try_recv(), R(runtime::Empty{})) << "still held by the other holder";
    publish(*holder, role_scope(2));
    holder.reset();
    EXPECT_EQ(sub.try_recv(), R(role_scope(2))) << "what is kept is delivered first";
    EXPECT_EQ(sub.try_recv(), R(runtime::Closed{}));
    EXPECT_EQ(sub.try_recv(), R(runtime::Closed{}));
  }
  {
    auto noop = std::make_shared<NoopInvalidationBroadcaster>();
    auto sub = noop->subscribe();
    publish(*noop, role_scope(1));
    publish(*noop, role_scope(2));
    EXPECT_EQ(sub.try_recv(), R(runtime::Empty{})) << "no-op never sends and is not closed while it exists";
    noop.reset();
    EXPECT_EQ(sub.try_recv(), R(runtime::Closed{}));
  }
}

TEST(Invalidation, ListenerSubscribesBeforeReturningAndTakesScopesInOrderOneAtATime) {
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  publish(*b, role_scope(-1));  // before any listener: never delivered
  auto seen = std::make_shared<Seen>();
  auto handle = spawn_invalidation_listener(*b, recorder(seen));
  ASSERT_TRUE(handle.has_value()) << handle.error().display();
  EXPECT_EQ(b->subscriber_count(), 1u);
  for (int i = 0; i < 50; ++i) publish(*b, role_scope(i));

  ASSERT_TRUE(eventually([&] { return seen->count() == 50; })) << seen->count();
  std::vector<std::string> want;
  for (int i = 0; i < 50; ++i) want.push_back("role-" + std::to_string(i));
  EXPECT_EQ(seen->snapshot(), want);
  EXPECT_EQ(seen->most_inside, 1);
  for (auto id : seen->threads) EXPECT_NE(id, std::this_thread::get_id()) << "callbacks run on runtime workers";
  EXPECT_FALSE(handle->is_finished());

  auto second = spawn_invalidation_listener(*b, recorder(std::make_shared<Seen>()));
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(b->subscriber_count(), 2u);
  second->abort();
  handle->abort();
  EXPECT_TRUE(handle->wait_finished(kPatience));
  EXPECT_TRUE(second->wait_finished(kPatience));
  EXPECT_EQ(b->subscriber_count(), 0u);
}

TEST(Invalidation, LaggingListenerWarnsOnceWithTheCountAndContinuesWithTheOldestKept) {
  common::log::ScopedCapture capture;
  auto b = InMemoryInvalidationBroadcaster::with_capacity(1024);
  auto seen = std::make_shared<Seen>();
  seen->set_hold(true);
  auto handle = spawn_invalidation_listener(*b, recorder(seen));
  ASSERT_TRUE(handle.has_value());

  publish(*b, role_scope(0));
  ASSERT_TRUE(eventually([&] { return seen->count() == 1; })) << "the callback is busy with scope 0";
  for (int i = 1; i <= 1025; ++i) publish(*b, role_scope(i));
  seen->set_hold(false);
  ASSERT_TRUE(eventually([&] { return seen->count() == 1025; })) << seen->count();

  const auto roles = seen->snapshot();
  EXPECT_EQ(roles[0], "role-0");
  EXPECT_EQ(roles[1], "role-2") << "scope 1, the oldest, was lost";
  EXPECT_EQ(roles.back(), "role-1025");
  const auto events = listener_events(capture.collector());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Warn);
  EXPECT_EQ(events[0].message, "invalidation listener lagged, messages dropped");
  const auto* dropped = events[0].field("dropped");
  ASSERT_NE(dropped, nullptr);
  EXPECT_TRUE(std::holds_alternative<std::uint64_t>(dropped->value));
  EXPECT_EQ(dropped->text(), "1");
  handle->abort();
  EXPECT_TRUE(handle->wait_finished(kPatience));
}

TEST(Invalidation, ListenerEndsWhenTheBroadcasterIsDroppedAndReleasesItsCallback) {
  common::log::ScopedCapture capture;
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  auto seen = std::make_shared<Seen>();
  std::weak_ptr<Seen> callback_state = seen;
  auto handle = spawn_invalidation_listener(*b, recorder(std::move(seen)));
  ASSERT_TRUE(handle.has_value());
  publish(*b, role_scope(1));
  // The listener does not hold the broadcaster: dropping the only holder closes the channel.
  b.reset();
  ASSERT_TRUE(handle->wait_finished(kPatience));
  EXPECT_TRUE(handle->is_finished());
  EXPECT_TRUE(callback_state.expired());

  const auto events = listener_events(capture.collector());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].level, Level::Debug);
  EXPECT_EQ(events[0].message, "invalidation listener: channel closed, exiting");
  EXPECT_EQ(events[0].file, "core/src/invalidation");
}

TEST(Invalidation, AbortStopsAfterTheCallbackInProgressEvenWithABacklog) {
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  auto seen = std::make_shared<Seen>();
  seen->set_hold(true);
  std::weak_ptr<Seen> callback_state = seen;
  auto handle = spawn_invalidation_listener(*b, recorder(seen));
  ASSERT_TRUE(handle.has_value());
  publish(*b, role_scope(0));
  ASSERT_TRUE(eventually([&] { return seen->count() == 1; }));
  for (int i = 1; i <= 5; ++i) publish(*b, role_scope(i));

  handle->abort();
  handle->abort();  // harmless
  EXPECT_FALSE(handle->is_finished()) << "the running callback is not interrupted";
  seen->set_hold(false);
  ASSERT_TRUE(handle->wait_finished(kPatience));
  EXPECT_EQ(seen->count(), 1u) << "nothing of the backlog is delivered after abort";
  EXPECT_EQ(b->subscriber_count(), 0u);
  seen.reset();
  EXPECT_TRUE(callback_state.expired());
}

TEST(Invalidation, AbortOfAnIdleListenerEndsItAndUnsubscribes) {
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  auto handle = spawn_invalidation_listener(*b, recorder(std::make_shared<Seen>()));
  ASSERT_TRUE(handle.has_value());
  // Most likely the task has reached its wait by now, so that abort has to wake it; if not, it
  // is aborted before its first step, which must end it just the same.
  std::this_thread::sleep_for(5ms);
  handle->abort();
  ASSERT_TRUE(handle->wait_finished(kPatience));
  EXPECT_EQ(b->subscriber_count(), 0u);
}

TEST(Invalidation, EmptyCallbackIsRefused) {
  auto b = InMemoryInvalidationBroadcaster::with_capacity();
  auto handle = spawn_invalidation_listener(*b, InvalidationCallback{});
  ASSERT_FALSE(handle.has_value());
  EXPECT_EQ(handle.error().kind, runtime::RuntimeFault::Kind::InvalidTask);
  EXPECT_EQ(b->subscriber_count(), 0u);
}

}  // namespace
}  // namespace ostrel::core
