#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/policy_run_task.hpp"
#include "core/rate_limit_in_memory.hpp"

namespace ostrel::core {

struct InMemoryRateLimitStoreTestPeer {
  static void break_lock(InMemoryRateLimitStore& s) { s.broken_ = true; }
  static std::size_t entries(const InMemoryRateLimitStore& s, const std::string& key) {
    const auto it = s.counts_.find(key);
    return it == s.counts_.end() ? 0 : it->second.size();
  }
};

namespace {

using testing::run_now;
using Peer = InMemoryRateLimitStoreTestPeer;

std::uint64_t count(InMemoryRateLimitStore& s, std::string_view key, std::int64_t now, std::uint64_t window) {
  auto r = run_now(s.count_in_window(key, now, window));
  EXPECT_TRUE(r.has_value());
  return r.value_or(999);
}
void record(InMemoryRateLimitStore& s, std::string_view key, std::int64_t now) {
  ASSERT_TRUE(run_now(s.record(key, now)).has_value());
}

TEST(RateLimitStore, ErrorTexts) {
  EXPECT_EQ(RateLimitStoreError::backend_unavailable("refused").display(), "rate-limit backend unavailable: refused");
  EXPECT_EQ(RateLimitStoreError::corrupt("bad member").display(), "rate-limit store corruption: bad member");
  EXPECT_EQ(RateLimitStoreError::other("x").display(), "rate-limit store: x");
  EXPECT_EQ(rate_limit_key("agent:7", "pay:out"), "agent:7:pay:out");
  EXPECT_EQ(rate_limit_key("", ""), ":");
}

TEST(RateLimitStore, UnknownKeysCountZero) {
  InMemoryRateLimitStore s;
  EXPECT_EQ(count(s, "k", 1000, 60), 0u);
  record(s, "other", 1000);
  EXPECT_EQ(count(s, "k", 1000, 60), 0u);
}

TEST(RateLimitStore, WindowIsOpenBelowAndClosedAbove) {
  InMemoryRateLimitStore s;
  record(s, "K", 1000);
  struct Case {
    std::int64_t now;
    std::uint64_t window;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {1000, 1, 1}, {999, 60, 0},  // the entry lies after now
      {1060, 60, 0},               // lower bound exclusive
      {1059, 60, 1}, {1000, 0, 0}, {5000, 0, 0},
      {1000, std::numeric_limits<std::uint64_t>::max(), 1},  // a window reaching past the epoch range
      {std::numeric_limits<std::int64_t>::min(), 10, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(count(s, "K", c.now, c.window), c.expected) << c.now << " " << c.window;
  }
}

TEST(RateLimitStore, EqualTimestampsCountOnceEach) {
  InMemoryRateLimitStore s;
  record(s, "K", 500);
  record(s, "K", 500);
  EXPECT_EQ(count(s, "K", 500, 10), 2u);
}

TEST(RateLimitStore, KeysDifferingInOneCharacterOrCaseAreSeparate) {
  InMemoryRateLimitStore s;
  record(s, "alice:pay", 10);
  record(s, "alice:pay", 10);
  record(s, "Alice:pay", 10);
  record(s, "alice:paY", 10);
  EXPECT_EQ(count(s, "alice:pay", 10, 60), 2u);
  EXPECT_EQ(count(s, "Alice:pay", 10, 60), 1u);
  EXPECT_EQ(count(s, "alice:paY", 10, 60), 1u);
  EXPECT_EQ(count(s, "alice:pa", 10, 60), 0u);
}

TEST(RateLimitStore, RecordPrunesOnlyItsKeyRelativeToTheNewTimestamp) {
  InMemoryRateLimitStore s;
  record(s, "K", 13600);
  record(s, "K", 13601);
  record(s, "J", 13600);
  record(s, "K", 100000);  // 100000 - 86400 = 13600: that entry goes, 13601 stays
  EXPECT_EQ(Peer::entries(s, "K"), 2u);
  EXPECT_EQ(count(s, "K", 100000, 200000), 2u);
  EXPECT_EQ(Peer::entries(s, "J"), 1u);  // another key is untouched

  // A late timestamp older than the retention is appended and dropped at once; the pruning
  // bound is the timestamp just recorded, not the newest one kept.
  record(s, "K", 1);
  EXPECT_EQ(Peer::entries(s, "K"), 3u);  // nothing is older than 1 - 86400
  record(s, "K", 200000);                // 200000 - 86400 = 113600 drops 1, 13601, 100000
  EXPECT_EQ(Peer::entries(s, "K"), 1u);
  // Counting never prunes, and a long window never sees beyond what pruning kept.
  EXPECT_EQ(count(s, "K", 200000, 10'000'000), 1u);
  EXPECT_EQ(count(s, "K", 200000, 10'000'000), 1u);
}

TEST(RateLimitStore, ExtremeTimestampsDoNotOverflow) {
  InMemoryRateLimitStore s;
  const auto lo = std::numeric_limits<std::int64_t>::min();
  const auto hi = std::numeric_limits<std::int64_t>::max();
  record(s, "K", lo);
  record(s, "K", lo + 1);
  EXPECT_EQ(Peer::entries(s, "K"), 2u);
  EXPECT_EQ(count(s, "K", lo + 1, 1), 1u);
  record(s, "K", hi);  // everything older than hi - 86400 goes
  EXPECT_EQ(Peer::entries(s, "K"), 1u);
  EXPECT_EQ(count(s, "K", hi, 1), 1u);
  EXPECT_EQ(count(s, "K", hi, std::numeric_limits<std::uint64_t>::max()), 1u);
}

TEST(RateLimitStore, BrokenLockFailsEveryLaterCallAndKeepsTheMap) {
  InMemoryRateLimitStore s;
  record(s, "K", 10);
  Peer::break_lock(s);
  for (int i = 0; i < 2; ++i) {
    const auto r = run_now(s.record("K", 11));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, RateLimitStoreError::Kind::Other);
    EXPECT_EQ(r.error().display(), "rate-limit store: rate-limit lock poisoned");
    const auto c = run_now(s.count_in_window("K", 11, 60));
    ASSERT_FALSE(c.has_value());
    EXPECT_EQ(c.error().kind, RateLimitStoreError::Kind::Other);
    EXPECT_EQ(c.error().message, "rate-limit lock poisoned");
    const auto unknown = run_now(s.count_in_window("never", 11, 60));
    EXPECT_FALSE(unknown.has_value());  // a broken store never answers 0 for an unknown key
  }
  EXPECT_EQ(Peer::entries(s, "K"), 1u);
}

TEST(RateLimitStore, ConcurrentRecordsAreAllCounted) {
  auto s = std::make_shared<InMemoryRateLimitStore>();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        ASSERT_TRUE(s->record_now("shared", 1000).has_value());
        ASSERT_TRUE(s->record_now("own" + std::to_string(t), 1000).has_value());
        ASSERT_TRUE(s->count_now("shared", 1000, 60).has_value());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(count(*s, "shared", 1000, 60), std::uint64_t{kThreads * kPerThread});
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(count(*s, "own" + std::to_string(t), 1000, 60), std::uint64_t{kPerThread});
}

}  // namespace
}  // namespace ostrel::core
