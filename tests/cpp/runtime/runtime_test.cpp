#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "runtime/block_on.hpp"
#include "runtime/once_cell.hpp"
#include "runtime/use_task.hpp"

namespace ostrel::runtime {
namespace {

using namespace std::chrono_literals;

TEST(Runtime, ConcurrentFirstUseCreatesOneRuntime) {
  constexpr int kThreads = 16;
  std::atomic<bool> go{false};
  std::vector<Runtime*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      auto rt = runtime();
      seen[i] = rt ? *rt : nullptr;
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (Runtime* r : seen) EXPECT_EQ(r, seen[0]);
  EXPECT_EQ(seen[0]->worker_count(), std::max(1u, std::thread::hardware_concurrency()));
}

TEST(Runtime, WorkersKnowTheirRuntimeOtherThreadsDoNot) {
  auto rt = runtime();
  ASSERT_TRUE(rt.has_value());
  EXPECT_EQ(Runtime::current(), nullptr);
  std::promise<Runtime*> on_worker;
  asio::post((*rt)->executor(), [&] { on_worker.set_value(Runtime::current()); });
  auto f = on_worker.get_future();
  ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(f.get(), *rt);
}

TEST(Runtime, PrivateRuntimeRunsWorkAndJoinsOnDestruction) {
  auto rt = Runtime::create(3);
  ASSERT_TRUE(rt.has_value());
  EXPECT_EQ((*rt)->worker_count(), 3u);
  std::atomic<int> ran{0};
  std::promise<void> all;
  for (int i = 0; i < 100; ++i) {
    asio::post((*rt)->executor(), [&] {
      if (ran.fetch_add(1) == 99) all.set_value();
    });
  }
  ASSERT_EQ(all.get_future().wait_for(10s), std::future_status::ready);
  rt->reset();  // must return: the workers stop and are joined
  EXPECT_EQ(ran.load(), 100);
}

TEST(Runtime, FailedCreationLeavesNothingAndTheNextUseRetries) {
  // The process-wide runtime can only be observed before its first creation, so this runs in a
  // fresh copy of the test program.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        detail::fail_next_creation("no threads today");
        auto first = runtime();
        if (first.has_value()) std::_Exit(2);
        if (first.error().kind != RuntimeFault::Kind::CreationFailed) std::_Exit(3);
        if (first.error().display() != "failed to create the shared async runtime: no threads today")
          std::_Exit(4);
        auto second = runtime();
        if (!second.has_value()) std::_Exit(5);
        auto third = runtime();
        if (!third.has_value() || *third != *second) std::_Exit(6);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

Task<std::error_code> short_wait(Runtime& rt) {
  asio::steady_timer t(rt.executor(), 1ms);
  co_return co_await t.async_wait(use_task);
}

TEST(Runtime, ForkedChildGetsAWorkingRuntimeOfItsOwn) {
  auto parent = runtime();
  ASSERT_TRUE(parent.has_value());
  ASSERT_TRUE(block_on(short_wait(**parent)).has_value());  // the parent's workers are running
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    alarm(30);  // a hang in the child ends it by signal rather than never
    auto rt = runtime();
    if (!rt) _exit(2);
    if (*rt == *parent) _exit(3);
    auto r = block_on(short_wait(**rt));
    if (!r || *r) _exit(4);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

struct Fault {
  int code;
  std::string display() const { return "fault " + std::to_string(code); }
};

TEST(OnceCell, FailureLeavesTheCellEmptyAndSuccessIsFinal) {
  OnceCell<int> cell;
  int calls = 0;
  auto failing = [&]() -> common::Result<std::unique_ptr<int>, Fault> {
    ++calls;
    return common::fail(Fault{7});
  };
  auto making = [&]() -> common::Result<std::unique_ptr<int>, Fault> {
    ++calls;
    return std::make_unique<int>(42);
  };
  auto r1 = cell.get_or_try_init(failing);
  ASSERT_FALSE(r1.has_value());
  EXPECT_EQ(r1.error().code, 7);
  EXPECT_EQ(cell.get(), nullptr);
  auto r2 = cell.get_or_try_init(making);
  ASSERT_TRUE(r2.has_value());
  EXPECT_EQ(**r2, 42);
  auto r3 = cell.get_or_try_init(failing);
  ASSERT_TRUE(r3.has_value());
  EXPECT_EQ(*r3, *r2);
  EXPECT_EQ(calls, 2);
}

TEST(OnceCell, RacingInitialisersRunOneAtATimeAndOneSucceeds) {
  OnceCell<int> cell;
  std::atomic<int> inside{0};
  std::atomic<int> overlap{0};
  std::atomic<int> attempts{0};
  std::atomic<bool> go{false};
  std::set<int*> results;
  std::mutex results_mu;
  std::vector<std::thread> threads;
  for (int i = 0; i < 12; ++i) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      auto r = cell.get_or_try_init([&]() -> common::Result<std::unique_ptr<int>, Fault> {
        if (inside.fetch_add(1) != 0) overlap.fetch_add(1);
        // The first three attempts fail, so failed initialisations are raced too.
        const int n = attempts.fetch_add(1);
        std::this_thread::sleep_for(1ms);
        inside.fetch_sub(1);
        if (n < 3) return common::fail(Fault{n});
        return std::make_unique<int>(n);
      });
      if (r) {
        std::lock_guard lock(results_mu);
        results.insert(*r);
      }
    });
  }
  go = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlap.load(), 0);
  EXPECT_EQ(attempts.load(), 4);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(**results.begin(), 3);
}

}  // namespace
}  // namespace ostrel::runtime
