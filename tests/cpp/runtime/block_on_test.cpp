#include "runtime/block_on.hpp"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/frame_pool.hpp"
#include "runtime/runtime.hpp"
#include "runtime/test_support.hpp"
#include "runtime/use_task.hpp"

namespace ostrel::runtime {
namespace {

using namespace std::chrono_literals;

using test_support::shared;

// Hands the rest of the calling coroutine over to a runtime worker.
struct ResumeOnWorker {
  Runtime* rt;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) { asio::post(rt->executor(), [h] { h.resume(); }); }
  void await_resume() const noexcept {}
};

Task<std::thread::id> where() { co_return std::this_thread::get_id(); }

Task<std::vector<std::thread::id>> nested_ids() {
  std::vector<std::thread::id> ids;
  ids.push_back(std::this_thread::get_id());
  ids.push_back(co_await where());
  ids.push_back(co_await where());
  co_return ids;
}

TEST(BlockOn, NeverSuspendingTaskRunsWholeOnTheCallingThread) {
  auto ids = block_on(nested_ids());
  ASSERT_TRUE(ids.has_value());
  ASSERT_EQ(ids->size(), 3u);
  for (auto id : *ids) EXPECT_EQ(id, std::this_thread::get_id());
}

Task<int> leaf(int x) { co_return x * 2; }
Task<int> middle(int x) { co_return co_await leaf(x) + 1; }
Task<int> top(int x) { co_return co_await middle(x) + co_await middle(x + 1); }

TEST(BlockOn, ChainOfTasksComputesThroughEveryLevel) {
  EXPECT_EQ(block_on(top(10)).value(), 21 + 23);
  // Deep chains resume each other by symmetric transfer and do not grow the stack.
  struct Deep {
    static Task<int> down(int n) {
      if (n == 0) co_return 0;
      co_return 1 + co_await down(n - 1);
    }
  };
  EXPECT_EQ(block_on(Deep::down(10000)).value(), 10000);
}

Task<std::string> suspends_on_worker(Runtime& rt, std::thread::id* resumed_on) {
  co_await ResumeOnWorker{&rt};
  *resumed_on = std::this_thread::get_id();
  co_return "done";
}

TEST(BlockOn, TaskResumedByAWorkerCompletesAndReturns) {
  std::thread::id resumed_on;
  auto r = block_on(suspends_on_worker(shared(), &resumed_on));
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(*r, "done");
  EXPECT_NE(resumed_on, std::this_thread::get_id());
}

Task<std::error_code> wait_timer(Runtime& rt, std::chrono::milliseconds d) {
  asio::steady_timer t(rt.executor(), d);
  co_return co_await t.async_wait(use_task);
}

TEST(BlockOn, AwaitsAnAsioTimer) {
  const auto start = std::chrono::steady_clock::now();
  auto r = block_on(wait_timer(shared(), 20ms));
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(*r) << r->message();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

Task<int> throws_after(Runtime* rt) {
  if (rt != nullptr) co_await ResumeOnWorker{rt};
  throw std::runtime_error("boom");
}

TEST(BlockOn, EscapingExceptionBecomesTaskFailedFault) {
  for (Runtime* rt : {static_cast<Runtime*>(nullptr), &shared()}) {
    auto r = block_on(throws_after(rt));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, RuntimeFault::Kind::TaskFailed);
    EXPECT_EQ(r.error().display(), "async task failed: boom");
  }
}

TEST(BlockOn, EmptyTaskIsRefused) {
  Task<int> moved = leaf(1);
  Task<int> taken = std::move(moved);
  auto r = block_on(std::move(moved));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, RuntimeFault::Kind::InvalidTask);
}

Task<void> noop() { co_return; }

TEST(BlockOn, FromAWorkerThreadIsRefusedWithAFault) {
  Runtime& rt = shared();
  std::promise<common::Result<void, RuntimeFault>> outcome;
  asio::post(rt.executor(), [&] { outcome.set_value(block_on(noop())); });
  auto fut = outcome.get_future();
  ASSERT_EQ(fut.wait_for(10s), std::future_status::ready);
  auto r = fut.get();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, RuntimeFault::Kind::BlockedOnWorker);
  EXPECT_EQ(r.error().display(),
            "cannot block on the shared async runtime from one of its own worker threads");
}

struct HookLog {
  static inline std::atomic<int> before{0};
  static inline std::atomic<int> after{0};
  static inline std::atomic<void*> token_seen{nullptr};
  static inline int token_storage = 0;
  static void* on_before() noexcept {
    before.fetch_add(1);
    return &token_storage;
  }
  static void on_after(void* token) noexcept {
    token_seen.store(token);
    after.fetch_add(1);
  }
};

TEST(BlockOn, HooksRunAroundARealWaitOnly) {
  Runtime& rt = shared();
  set_blocking_hooks({&HookLog::on_before, &HookLog::on_after});
  HookLog::before = 0;
  HookLog::after = 0;

  ASSERT_TRUE(block_on(top(1)).has_value());
  EXPECT_EQ(HookLog::before.load(), 0);
  EXPECT_EQ(HookLog::after.load(), 0);

  // A wait long enough that the calling thread really sleeps.
  ASSERT_TRUE(block_on(wait_timer(rt, 30ms)).has_value());
  EXPECT_EQ(HookLog::before.load(), 1);
  EXPECT_EQ(HookLog::after.load(), 1);
  EXPECT_EQ(HookLog::token_seen.load(), &HookLog::token_storage);

  set_blocking_hooks({});
  ASSERT_TRUE(block_on(wait_timer(rt, 5ms)).has_value());
  EXPECT_EQ(HookLog::before.load(), 1);
}

TEST(BlockOn, ManyThreadsBlockingAtOnceEachGetTheirOwnResult) {
  Runtime& rt = shared();
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        struct Job {
          static Task<int> run(Runtime& rt, int v) {
            co_await ResumeOnWorker{&rt};
            co_return co_await middle(v);
          }
        };
        auto r = block_on(Job::run(rt, t * 1000 + i));
        if (!r || *r != (t * 1000 + i) * 2 + 1) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(FramePool, FramesAreRecycledOnTheThreadThatFreesThem) {
  ASSERT_TRUE(block_on(top(1)).has_value());  // warm the cache
  const auto before = detail::frame_cache_size();
  ASSERT_GT(before, 0u);
  ASSERT_TRUE(block_on(top(2)).has_value());
  EXPECT_EQ(detail::frame_cache_size(), before);
}

}  // namespace
}  // namespace ostrel::runtime
