#pragma once
// Running a task to completion on the calling thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>

#include "common/error.hpp"
#include "runtime/runtime_fault.hpp"
#include "runtime/task.hpp"

namespace ostrel::runtime {

// Called around every real wait of block_on (never when the task completes without suspending).
// The binding layer installs them to let go of its interpreter lock while the thread sleeps:
// before_wait's result is handed to after_wait. Both run on the blocked thread.
struct BlockingHooks {
  void* (*before_wait)() noexcept = nullptr;
  void (*after_wait)(void* token) noexcept = nullptr;
};

// Installs the hooks process-wide (both functions, or neither with {}). Meant to be set once at
// start-up, before any block_on; replacing them while a block_on waits is not supported.
void set_blocking_hooks(BlockingHooks hooks) noexcept;

namespace detail {

bool on_runtime_worker() noexcept;
RuntimeFault fault_from(const std::exception_ptr& error);

// Lets the thread that drives a task sleep until a worker finishes it. The common case, a task
// that finishes during its first resume on the driving thread, costs two atomic operations.
class BlockOnWaiter final : public RootObserver {
 public:
  void on_root_done() noexcept override;
  // Call after the first resume has returned: waits if the task is not finished yet.
  void wait();

 private:
  enum : std::uint8_t { kRunning, kWaiting, kDone };
  std::atomic<std::uint8_t> state_{kRunning};
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;  // guarded by mu_
};

}  // namespace detail

// Runs `task` on the calling thread until it finishes and returns its result. The task runs here
// until its first wait on something external; whatever completes that wait (a runtime worker)
// resumes it, and the calling thread sleeps meanwhile. A task that never waits completes without
// involving any other thread, lock or allocation beyond its frames.
//
// Refused with BlockedOnWorker on a runtime worker thread: that worker would wait on work that may
// need it. An exception escaping the task becomes TaskFailed. There is no timeout here; a bound
// belongs inside the task.
template <class T>
common::Result<T, RuntimeFault> block_on(Task<T> task) {
  if (detail::on_runtime_worker()) return common::fail(RuntimeFault::blocked_on_worker());
  if (!task.valid()) return common::fail(RuntimeFault::invalid_task());
  auto handle = detail::TaskAccess::handle(task);
  detail::BlockOnWaiter waiter;
  handle.promise().set_root(&waiter);
  handle.resume();
  waiter.wait();
  if (handle.promise().failed()) return common::fail(detail::fault_from(handle.promise().error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return handle.promise().take();
  }
}

}  // namespace ostrel::runtime
