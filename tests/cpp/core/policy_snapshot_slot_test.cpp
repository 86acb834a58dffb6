// The slot that holds the active policy set: readers keep what they read, old values are freed
// once nobody reads them, and readers nested deeper than a thread's hazard cells still work.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/policy/snapshot_slot.hpp"

namespace ostrel::core {
namespace {

struct Tracked {
  int value;
  std::atomic<int>* alive;
  Tracked(int v, std::atomic<int>* a) : value(v), alive(a) { ++*alive; }
  ~Tracked() { --*alive; }
};

std::shared_ptr<const Tracked> make(int v, std::atomic<int>& alive) {
  return std::make_shared<const Tracked>(v, &alive);
}

TEST(PolicySnapshotSlot, ReadersKeepTheValueTheyReadAndOldValuesAreFreed) {
  std::atomic<int> alive{0};
  {
    SnapshotSlot<Tracked> slot(make(1, alive));
    EXPECT_EQ(slot.read()->value, 1);

    slot.store(make(2, alive));  // nobody reads 1: freed at once
    EXPECT_EQ(alive.load(), 1);

    {
      const auto r = slot.read();
      slot.store(make(3, alive));  // 2 is protected by the reader
      EXPECT_EQ(r->value, 2);
      EXPECT_EQ(alive.load(), 2);
      EXPECT_EQ(slot.read()->value, 3);
    }
    slot.store(make(4, alive));  // the next swap frees what the reader protected
    EXPECT_EQ(alive.load(), 1);

    // A shared reference outlives the reader and any number of swaps.
    std::shared_ptr<const Tracked> kept = slot.read().share();
    slot.store(make(5, alive));
    slot.store(make(6, alive));
    EXPECT_EQ(kept->value, 4);
    EXPECT_EQ(alive.load(), 2);
    kept.reset();
    EXPECT_EQ(alive.load(), 1);
    EXPECT_EQ(slot.load()->value, 6);
  }
  EXPECT_EQ(alive.load(), 0);
}

TEST(PolicySnapshotSlot, NestedReadersBeyondTheThreadsCellsStillWork) {
  std::atomic<int> alive{0};
  SnapshotSlot<Tracked> slot(make(1, alive));
  std::vector<SnapshotSlot<Tracked>::Reader> readers;
  for (int i = 0; i < 10; ++i) readers.push_back(slot.read());  // more than the cells per thread
  slot.store(make(2, alive));
  for (const auto& r : readers) EXPECT_EQ(r->value, 1);
  EXPECT_EQ(alive.load(), 2);
  readers.clear();
  slot.store(make(3, alive));
  EXPECT_EQ(alive.load(), 1);
  EXPECT_EQ(slot.read()->value, 3);
}

TEST(PolicySnapshotSlot, ConcurrentReadersNeverSeeAFreedValue) {
  std::atomic<int> alive{0};
  SnapshotSlot<Tracked> slot(make(0, alive));
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      int last = -1;
      while (!stop.load(std::memory_order_relaxed)) {
        const auto r = slot.read();
        // Values only grow: a reader never goes back to an older (possibly freed) one.
        EXPECT_GE(r->value, last);
        last = r->value;
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (int i = 1; i <= 20000; ++i) slot.store(make(i, alive));
  while (reads.load() < 1000) std::this_thread::yield();
  stop = true;
  for (auto& th : threads) th.join();
  slot.store(make(-1, alive));
  EXPECT_EQ(alive.load(), 1);
}

}  // namespace
}  // namespace ostrel::core
