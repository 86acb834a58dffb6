#include "runtime/timeout.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/block_on.hpp"
#include "runtime/sleep.hpp"
#include "runtime/test_support.hpp"

namespace ostrel::runtime {
namespace {

using namespace std::chrono_literals;

using test_support::shared;
using test_support::DropFlag;

Task<std::string> slow_text(std::chrono::milliseconds delay, std::atomic<bool>* dropped) {
  DropFlag guard{dropped};
  co_await sleep_for(shared(), delay);
  co_return "in time";
}

TEST(WithTimeout, OperationEndingInTimeGivesItsResult) {
  std::atomic<bool> dropped{false};
  auto r = block_on(with_timeout(shared(), 10s, slow_text(1ms, &dropped)));
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(*r, std::optional<std::string>("in time"));
  EXPECT_TRUE(dropped.load());
}

TEST(WithTimeout, OperationRunningPastTheLimitIsStoppedBeforeTheCallReturns) {
  std::atomic<bool> dropped{false};
  const auto start = std::chrono::steady_clock::now();
  auto r = block_on(with_timeout(shared(), 30ms, slow_text(24h, &dropped)));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(*r, std::nullopt);
  EXPECT_TRUE(dropped.load());  // already destroyed, not merely asked to stop
  EXPECT_GE(took, 30ms);
  EXPECT_LT(took, 10s);
}

Task<void> pause(std::chrono::milliseconds d) { co_await sleep_for(shared(), d); }

TEST(WithTimeout, VoidOperationReportsWhetherItEndedInTime) {
  EXPECT_EQ(block_on(with_timeout(shared(), 10s, pause(1ms))).value(), true);
  EXPECT_EQ(block_on(with_timeout(shared(), 5ms, pause(24h))).value(), false);
}

Task<int> fails() {
  co_await sleep_for(shared(), 1ms);
  throw std::runtime_error("connection refused");
}

TEST(WithTimeout, ExceptionOfTheOperationReachesTheCaller) {
  auto r = block_on(with_timeout(shared(), 10s, fails()));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "async task failed: connection refused");
}

// Owns its flag through a parameter: it is set when the frame goes, whether or not it ever ran.
Task<void> sleep_owning([[maybe_unused]] std::unique_ptr<DropFlag> guard) { co_await sleep_for(shared(), 24h); }

Task<void> outer(std::atomic<bool>* reached, std::atomic<bool>* inner_dropped, std::atomic<bool>* after) {
  reached->store(true);
  (void)co_await with_timeout(shared(), 24h, sleep_owning(std::make_unique<DropFlag>(inner_dropped)));
  after->store(true);
}

TEST(WithTimeout, AbortingTheAwaitingTaskStopsTheOperation) {
  std::atomic<bool> reached{false}, inner_dropped{false}, after{false};
  auto h = spawn(shared(), outer(&reached, &inner_dropped, &after));
  ASSERT_TRUE(h.has_value());
  for (int i = 0; i < 10000 && !reached.load(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(reached.load());
  h->abort();
  ASSERT_TRUE(h->wait_finished(10s));
  EXPECT_FALSE(after.load());
  EXPECT_TRUE(inner_dropped.load());  // the operation went with the task that awaited it
}

TEST(WithTimeout, ManyRacesBetweenLimitAndEndLoseNothing) {
  // Limits and durations close together, so both orders of arrival occur.
  int in_time = 0, late = 0;
  for (int i = 0; i < 200; ++i) {
    std::atomic<bool> dropped{false};
    auto r = block_on(with_timeout(shared(), 1ms, slow_text(std::chrono::milliseconds(i % 3), &dropped)));
    ASSERT_TRUE(r.has_value());
    ASSERT_TRUE(dropped.load());
    if (r->has_value()) {
      EXPECT_EQ(**r, "in time");
      ++in_time;
    } else {
      ++late;
    }
  }
  EXPECT_EQ(in_time + late, 200);
}

}  // namespace
}  // namespace ostrel::runtime
