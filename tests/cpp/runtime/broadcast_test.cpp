#include "runtime/broadcast.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"
#include "runtime/spawn.hpp"
#include "runtime/test_support.hpp"

namespace ostrel::runtime {
namespace {

using namespace std::chrono_literals;

using test_support::shared;

template <class T>
std::vector<TryReceived<T>> drain(BroadcastReceiver<T>& rx) {
  std::vector<TryReceived<T>> out;
  for (;;) {
    auto r = rx.try_recv();
    if (std::holds_alternative<Empty>(r)) return out;
    const bool closed = std::holds_alternative<Closed>(r);
    out.push_back(std::move(r));
    if (closed) return out;
  }
}

TEST(Broadcast, EveryReceiverGetsItemsInOrderFromItsSubscriptionOn) {
  BroadcastSender<std::string> tx(8);
  auto early = tx.subscribe();
  ASSERT_EQ(tx.send("a").value(), 1u);
  auto late = tx.subscribe();
  ASSERT_EQ(tx.send("b").value(), 2u);
  ASSERT_EQ(tx.send("c").value(), 2u);

  using R = TryReceived<std::string>;
  EXPECT_EQ(drain(early), (std::vector<R>{R("a"), R("b"), R("c")}));
  EXPECT_EQ(drain(late), (std::vector<R>{R("b"), R("c")}));
  EXPECT_EQ(early.try_recv(), R(Empty{}));
}

TEST(Broadcast, LaggingReceiverLearnsHowManyItLostAndResumesWithTheOldestKept) {
  struct Case {
    std::size_t capacity;
    int sends;
    std::uint64_t lost;
  };
  for (const Case c : {Case{1024, 1025, 1}, Case{4, 10, 6}, Case{1, 3, 2}, Case{3, 3, 0}, Case{1000, 2500, 1500}}) {
    SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", sends " << c.sends);
    BroadcastSender<int> tx(c.capacity);
    auto rx = tx.subscribe();
    for (int i = 0; i < c.sends; ++i) ASSERT_TRUE(tx.send(i).has_value());
    std::vector<TryReceived<int>> want;
    if (c.lost > 0) want.emplace_back(Lagged{c.lost});
    for (int i = static_cast<int>(c.lost); i < c.sends; ++i) want.emplace_back(i);
    EXPECT_EQ(drain(rx), want);
  }
}

TEST(Broadcast, LagIsPerReceiver) {
  BroadcastSender<int> tx(2);
  auto slow = tx.subscribe();
  auto fast = tx.subscribe();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(tx.send(i).has_value());
    EXPECT_EQ(fast.try_recv(), TryReceived<int>(i));
  }
  EXPECT_EQ(drain(slow), (std::vector<TryReceived<int>>{Lagged{3}, 3, 4}));
}

TEST(Broadcast, ClosedOnlyAfterEverythingKeptIsReceived) {
  BroadcastSender<int> tx(4);
  auto rx = tx.subscribe();
  auto lagging = tx.subscribe();
  auto copy = tx;  // copies share the channel; it closes with the last one
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(tx.send(i).has_value());
  { auto gone = std::move(tx); }
  EXPECT_EQ(rx.try_recv(), TryReceived<int>(Lagged{2}));
  EXPECT_EQ(rx.try_recv(), TryReceived<int>(2));
  { auto gone = std::move(copy); }
  EXPECT_EQ(drain(rx), (std::vector<TryReceived<int>>{3, 4, 5, Closed{}}));
  EXPECT_EQ(rx.try_recv(), TryReceived<int>(Closed{}));  // and it stays closed
  EXPECT_EQ(drain(lagging), (std::vector<TryReceived<int>>{Lagged{2}, 2, 3, 4, 5, Closed{}}));
}

TEST(Broadcast, CountsLiveReceiversAndRefusesToSendToNone) {
  BroadcastSender<int> tx(4);
  EXPECT_EQ(tx.receiver_count(), 0u);
  auto err = tx.send(7);
  ASSERT_FALSE(err.has_value());
  EXPECT_EQ(err.error().value, 7);
  EXPECT_EQ(err.error().display(), "broadcast channel has no receivers");
  {
    auto a = tx.subscribe();
    auto b = tx.subscribe();
    EXPECT_EQ(tx.receiver_count(), 2u);
    auto moved = std::move(a);  // moving does not count twice
    EXPECT_EQ(tx.receiver_count(), 2u);
    EXPECT_EQ(tx.send(1).value(), 2u);
  }
  EXPECT_EQ(tx.receiver_count(), 0u);
  // A subscriber that arrives later does not see what was sent to nobody.
  auto c = tx.subscribe();
  EXPECT_EQ(c.try_recv(), TryReceived<int>(Empty{}));
}

TEST(Broadcast, ItemsAreReleasedOnceEveryReceiverHasThemOrLeft) {
  BroadcastSender<std::shared_ptr<int>> tx(8);
  auto a = tx.subscribe();
  auto b = tx.subscribe();
  auto item = std::make_shared<int>(1);
  std::weak_ptr<int> watch = item;
  ASSERT_TRUE(tx.send(std::move(item)).has_value());
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<int>>(a.try_recv()));
  EXPECT_FALSE(watch.expired());  // b has not taken it yet
  { auto gone = std::move(b); }
  EXPECT_TRUE(watch.expired());

  // Overwriting a slot also releases what it held.
  auto c = tx.subscribe();
  auto first = std::make_shared<int>(2);
  std::weak_ptr<int> first_watch = first;
  ASSERT_TRUE(tx.send(std::move(first)).has_value());
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(tx.send(std::make_shared<int>(i)).has_value());
  EXPECT_TRUE(first_watch.expired());
}

TEST(Broadcast, ZeroCapacityIsRefused) { EXPECT_THROW(BroadcastSender<int>(0), std::invalid_argument); }

TEST(Broadcast, WaitingReceiverIsResumedOnAWorkerWhenAnItemArrives) {
  Runtime& rt = shared();
  BroadcastSender<int> tx(4);
  auto rx = tx.subscribe();
  std::thread sender([&] {
    std::this_thread::sleep_for(20ms);
    (void)tx.send(42);
  });
  struct Probe {
    static Task<std::pair<Received<int>, Runtime*>> run(BroadcastReceiver<int>& rx) {
      auto r = co_await rx.recv();
      co_return std::pair{std::move(r), Runtime::current()};
    }
  };
  auto r = block_on(Probe::run(rx));
  sender.join();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first, Received<int>(42));
  EXPECT_EQ(r->second, &rt);
}

TEST(Broadcast, WaitingReceiverSeesTheClose) {
  std::optional<BroadcastSender<int>> tx(std::in_place, 4);
  auto rx = tx->subscribe();
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    tx.reset();
  });
  auto r = block_on(rx.recv());
  closer.join();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, Received<int>(Closed{}));
}

// Several threads send concurrently to receivers that are spawned tasks. Whatever the timing, each
// receiver accounts for every item exactly once (received or reported lost), sees each sender's
// items in that sender's order, and ends on Closed.
TEST(Broadcast, ConcurrentSendersAndReceiversAccountForEveryItem) {
  constexpr int kSenders = 4;
  constexpr int kPerSender = 5000;
  constexpr int kReceivers = 6;
  struct Tally {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> lost{0};
    std::atomic<int> out_of_order{0};
    std::atomic<bool> closed{false};
  };
  std::vector<Tally> tallies(kReceivers);
  std::vector<JoinHandle> handles;

  struct Consumer {
    static Task<void> run(BroadcastReceiver<std::pair<int, int>> rx, Tally* t) {
      std::vector<int> last(kSenders, -1);
      for (;;) {
        auto r = co_await rx.recv();
        if (auto* item = std::get_if<0>(&r)) {
          auto [sender, seq] = *item;
          if (seq <= last[sender]) t->out_of_order.fetch_add(1);
          last[sender] = seq;
          t->received.fetch_add(1);
        } else if (auto* lag = std::get_if<Lagged>(&r)) {
          t->lost.fetch_add(lag->count);
        } else {
          t->closed = true;
          co_return;
        }
      }
    }
  };

  {
    BroadcastSender<std::pair<int, int>> tx(64);
    for (int i = 0; i < kReceivers; ++i) {
      auto h = spawn(shared(), Consumer::run(tx.subscribe(), &tallies[i]));
      ASSERT_TRUE(h.has_value());
      handles.push_back(*h);
    }
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
      senders.emplace_back([tx, s] {
        for (int i = 0; i < kPerSender; ++i) {
          auto n = tx.send({s, i});
          if (!n || *n != kReceivers) ADD_FAILURE() << "send reached " << (n ? *n : 0) << " receivers";
        }
      });
    }
    for (auto& t : senders) t.join();
  }
  for (auto& h : handles) ASSERT_TRUE(h.wait_finished(30s));
  for (const auto& t : tallies) {
    EXPECT_EQ(t.received.load() + t.lost.load(), std::uint64_t{kSenders} * kPerSender);
    EXPECT_EQ(t.out_of_order.load(), 0);
    EXPECT_TRUE(t.closed.load());
  }
}

// Receivers that come and go while items flow: counts stay exact and nothing is left behind.
TEST(Broadcast, SubscribingAndLeavingDuringSendsKeepsCountsExact) {
  BroadcastSender<int> tx(8);
  auto keeper = tx.subscribe();
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) {
      auto rx = tx.subscribe();
      (void)rx.try_recv();
    }
  });
  for (int i = 0; i < 20000; ++i) ASSERT_TRUE(tx.send(i).has_value());
  stop = true;
  churn.join();
  EXPECT_EQ(tx.receiver_count(), 1u);
  auto got = drain(keeper);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.front(), TryReceived<int>(Lagged{20000 - 8}));
  EXPECT_EQ(got.size(), 9u);
}

}  // namespace
}  // namespace ostrel::runtime
