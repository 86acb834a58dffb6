#include "runtime/spawn.hpp"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "common/log.hpp"
#include "runtime/broadcast.hpp"
#include "runtime/runtime.hpp"
#include "runtime/sleep.hpp"
#include "runtime/test_support.hpp"
#include "runtime/use_task.hpp"

namespace ostrel::runtime {
namespace {

using namespace std::chrono_literals;

using test_support::shared;
using test_support::DropFlag;

Task<void> count_to(int n, std::atomic<int>* counter, std::atomic<bool>* dropped) {
  DropFlag guard{dropped};
  for (int i = 0; i < n; ++i) {
    co_await sleep_for(shared(), 0ms);
    counter->fetch_add(1);
  }
}

TEST(Spawn, TaskRunsOnAWorkerToItsEnd) {
  std::atomic<int> counter{0};
  std::atomic<bool> dropped{false};
  auto h = spawn(shared(), count_to(5, &counter, &dropped));
  ASSERT_TRUE(h.has_value());
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_TRUE(h->is_finished());
  EXPECT_EQ(counter.load(), 5);
  EXPECT_TRUE(dropped.load());
}

Task<void> sleep_forever(std::atomic<bool>* started, std::atomic<bool>* woke, std::atomic<bool>* dropped) {
  DropFlag guard{dropped};
  started->store(true);
  co_await sleep_for(shared(), 24h);
  woke->store(true);
}

TEST(Spawn, AbortStopsATaskWaitingOnATimer) {
  std::atomic<bool> started{false}, woke{false}, dropped{false};
  auto h = spawn(shared(), sleep_forever(&started, &woke, &dropped));
  ASSERT_TRUE(h.has_value());
  for (int i = 0; i < 10000 && !started.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(started.load());
  EXPECT_FALSE(h->is_finished());
  h->abort();
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_TRUE(dropped.load());
  EXPECT_FALSE(woke.load());
  h->abort();  // a second abort, after the end, does nothing
  EXPECT_TRUE(h->is_finished());
}

Task<void> listen(BroadcastReceiver<int> rx, std::atomic<int>* items, std::atomic<bool>* closed) {
  for (;;) {
    auto r = co_await rx.recv();
    if (std::holds_alternative<int>(r)) {
      items->fetch_add(1);
    } else if (std::holds_alternative<Closed>(r)) {
      closed->store(true);
      co_return;
    }
  }
}

TEST(Spawn, AbortStopsATaskWaitingOnAChannelAndReleasesItsReceiver) {
  BroadcastSender<int> tx(16);
  std::atomic<int> items{0};
  std::atomic<bool> closed{false};
  auto h = spawn(shared(), listen(tx.subscribe(), &items, &closed));
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(tx.receiver_count(), 1u);
  ASSERT_TRUE(tx.send(1).has_value());
  for (int i = 0; i < 10000 && items.load() < 1; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(items.load(), 1);
  h->abort();
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_EQ(tx.receiver_count(), 0u);
  EXPECT_FALSE(closed.load());
  EXPECT_FALSE(tx.send(2).has_value());  // nobody left to receive
}

Task<void> listen_slowly(BroadcastReceiver<int> rx, std::atomic<int>* items, std::atomic<bool>* busy,
                         std::atomic<bool>* release) {
  for (;;) {
    auto r = co_await rx.recv();
    if (!std::holds_alternative<int>(r)) co_return;
    items->fetch_add(1);
    busy->store(true);
    while (!release->load()) std::this_thread::yield();
  }
}

TEST(Spawn, AbortedListenerWithABacklogTakesNoFurtherItem) {
  BroadcastSender<int> tx(16);
  std::atomic<int> items{0};
  std::atomic<bool> busy{false}, release{false};
  auto h = spawn(shared(), listen_slowly(tx.subscribe(), &items, &busy, &release));
  ASSERT_TRUE(h.has_value());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(i).has_value());
  for (int i = 0; i < 10000 && !busy.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(busy.load());
  h->abort();
  release = true;  // four items are still waiting: the next recv() must end the task instead
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_EQ(items.load(), 1);
}

TEST(Spawn, ListenerEndsWhenTheChannelCloses) {
  std::atomic<int> items{0};
  std::atomic<bool> closed{false};
  JoinHandle h;
  {
    BroadcastSender<int> tx(4);
    auto spawned = spawn(shared(), listen(tx.subscribe(), &items, &closed));
    ASSERT_TRUE(spawned.has_value());
    h = *spawned;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(tx.send(i).has_value());
  }
  ASSERT_TRUE(h.wait_finished(10s));
  EXPECT_EQ(items.load(), 3);
  EXPECT_TRUE(closed.load());
}

Task<void> busy_then_sleep(std::atomic<bool>* entered, std::atomic<bool>* release, std::atomic<bool>* after,
                           std::atomic<bool>* dropped) {
  DropFlag guard{dropped};
  entered->store(true);
  while (!release->load()) std::this_thread::yield();
  co_await sleep_for(shared(), 24h);
  after->store(true);
}

TEST(Spawn, AbortDuringAStepTakesEffectAtTheNextSuspension) {
  std::atomic<bool> entered{false}, release{false}, after{false}, dropped{false};
  auto h = spawn(shared(), busy_then_sleep(&entered, &release, &after, &dropped));
  ASSERT_TRUE(h.has_value());
  for (int i = 0; i < 10000 && !entered.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(entered.load());
  h->abort();
  EXPECT_FALSE(h->is_finished());  // still in its step
  release = true;
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_TRUE(dropped.load());
  EXPECT_FALSE(after.load());
}

// Owns its flag through a parameter, which lives in the frame even before the body has started.
Task<void> sleep_forever_owning([[maybe_unused]] std::unique_ptr<DropFlag> guard, std::atomic<bool>* woke) {
  co_await sleep_for(shared(), 24h);
  woke->store(true);
}

TEST(Spawn, AbortRightAfterSpawnNeverLeavesATaskBehind) {
  // Races abort against the first resumption; whichever wins, the task ends and is released.
  for (int i = 0; i < 200; ++i) {
    std::atomic<bool> woke{false}, dropped{false};
    auto h = spawn(shared(), sleep_forever_owning(std::make_unique<DropFlag>(&dropped), &woke));
    ASSERT_TRUE(h.has_value());
    h->abort();
    ASSERT_TRUE(h->wait_finished(10s));
    EXPECT_TRUE(dropped.load());
    EXPECT_FALSE(woke.load());
  }
}

Task<void> raises() {
  co_await sleep_for(shared(), 0ms);
  throw std::runtime_error("listener broke");
}

TEST(Spawn, EscapingExceptionIsLoggedAndEndsTheTask) {
  common::log::ScopedCapture capture;
  auto h = spawn(shared(), raises());
  ASSERT_TRUE(h.has_value());
  ASSERT_TRUE(h->wait_finished(10s));
  auto events = capture.collector().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "spawned task raised");
  ASSERT_NE(events[0].field("error"), nullptr);
  EXPECT_EQ(events[0].field("error")->text(), "listener broke");
}

TEST(Spawn, EmptyTaskIsRefused) {
  Task<void> t = raises();
  Task<void> taken = std::move(t);
  auto h = spawn(shared(), std::move(t));
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().kind, RuntimeFault::Kind::InvalidTask);
}

// Moves the awaiting coroutine onto `strand`, so what it does next is serialised with other
// handlers of that strand.
struct OnStrand {
  explicit OnStrand(asio::strand<asio::io_context::executor_type> s) : strand(std::move(s)) {}
  asio::strand<asio::io_context::executor_type> strand;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) { asio::post(strand, [h] { h.resume(); }); }
  void await_resume() const noexcept {}
};

Task<void> record_wait(asio::steady_timer& timer, asio::strand<asio::io_context::executor_type> strand,
                       std::error_code* out, std::atomic<bool>* waiting) {
  co_await OnStrand(strand);
  waiting->store(true);  // the wait below is initiated before this strand handler ends
  *out = co_await timer.async_wait(use_task);
}

TEST(UseTask, OperationCancelledByItsOwnerCompletesWithTheErrorAsAValue) {
  auto strand = asio::make_strand(shared().executor());
  asio::steady_timer timer(strand, 24h);
  std::error_code ec;
  std::atomic<bool> waiting{false};
  auto h = spawn(shared(), record_wait(timer, strand, &ec, &waiting));
  ASSERT_TRUE(h.has_value());
  for (int i = 0; i < 10000 && !waiting.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(waiting.load());
  // Asio objects are not safe for concurrent use: cancel from the strand that initiated the wait.
  asio::post(strand, [&] { timer.cancel(); });
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_EQ(ec, asio::error::operation_aborted);
}

}  // namespace
}  // namespace ostrel::runtime
