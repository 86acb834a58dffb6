// Blocking on the shared runtime from Python threads.
#include <gtest/gtest.h>

#include <chrono>

#include "embedded_python.hpp"
#include "py/blocking.hpp"
#include "runtime/sleep.hpp"
#include "runtime/spawn.hpp"

namespace ostrel::py {
namespace {

using namespace std::chrono_literals;

runtime::Task<int> immediate() { co_return 42; }

runtime::Task<int> sleeps(runtime::Runtime& rt, std::chrono::milliseconds d) {
  co_await runtime::sleep_for(rt, d);
  co_return 7;
}

std::int64_t ticks() {
  bind::Ref n = testing::eval("len(ticks)");
  return n ? PyLong_AsLongLong(n.get()) : -1;
}

TEST(Blocking, TheLockIsReleasedOnlyWhileReallyWaiting) {
  runtime::Runtime* rt = shared_runtime();
  ASSERT_NE(rt, nullptr) << testing::take_error();
  // A Python thread that records a tick whenever it gets the lock.
  testing::exec(
      "import threading, time\n"
      "ticks = []\n"
      "stop = threading.Event()\n"
      "def ticker():\n"
      "    while not stop.is_set():\n"
      "        ticks.append(1)\n"
      "        time.sleep(0.001)\n"
      "ticker_thread = threading.Thread(target=ticker)\n"
      "ticker_thread.start()\n");

  // Without a real wait, the lock is never let go: nothing else ran during the call.
  const auto before_immediate = ticks();
  auto r = wait_on_runtime(immediate());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, 42);
  EXPECT_EQ(ticks(), before_immediate);

  // While waiting on a worker, the other Python thread runs.
  const auto before_wait = ticks();
  auto s = wait_on_runtime(sleeps(*rt, 200ms));
  ASSERT_TRUE(s);
  EXPECT_EQ(*s, 7);
  EXPECT_GT(ticks(), before_wait);
  EXPECT_EQ(PyErr_Occurred(), nullptr);

  testing::exec("stop.set()\nticker_thread.join(10)\nassert not ticker_thread.is_alive()\n");
}

runtime::Task<void> block_from_worker(bool* refused, std::string* message) {
  PyGILState_STATE state = PyGILState_Ensure();
  auto r = wait_on_runtime(immediate());
  *refused = !r && PyErr_ExceptionMatches(bind::fault_class()) != 0;
  *message = testing::take_error();
  PyGILState_Release(state);
  co_return;
}

TEST(Blocking, RefusedOnAWorkerThreadWithTheFault) {
  runtime::Runtime* rt = shared_runtime();
  ASSERT_NE(rt, nullptr);
  bool refused = false;
  std::string message;
  auto handle = runtime::spawn(*rt, block_from_worker(&refused, &message));
  ASSERT_TRUE(handle);
  bool finished = false;
  PyThreadState* saved = PyEval_SaveThread();  // the worker needs the lock
  finished = handle->wait_finished(10s);
  PyEval_RestoreThread(saved);
  ASSERT_TRUE(finished);
  EXPECT_TRUE(refused);
  EXPECT_EQ(message,
            "InternalFault: cannot block on the shared async runtime from one of its own worker threads");
}

TEST(Blocking, NativeCallersOfBlockOnKeepTheirLockState) {
  // runtime::block_on used directly (not through wait_on_runtime) must not touch the lock even
  // though the hooks are installed process-wide.
  runtime::Runtime* rt = shared_runtime();
  ASSERT_NE(rt, nullptr);
  install_blocking_hooks();
  auto r = runtime::block_on(sleeps(*rt, 20ms));
  ASSERT_TRUE(r);
  // Still holding the lock: calling into the interpreter works.
  EXPECT_EQ(testing::eval_str("1 + 1"), "2");
}

}  // namespace
}  // namespace ostrel::py
