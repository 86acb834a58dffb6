#pragma once
// Background tasks on the runtime's workers.
#include <chrono>
#include <functional>
#include <memory>

#include "common/error.hpp"
#include "runtime/job.hpp"
#include "runtime/runtime_fault.hpp"
#include "runtime/task.hpp"

namespace ostrel::runtime {

class Runtime;

// Refers to a spawned task. Dropping the handle detaches the task: it keeps running.
class JoinHandle {
 public:
  JoinHandle() = default;

  // Asks the task to stop at its next suspension point: a task waiting on a channel, a timer or an
  // I/O operation awaited with use_task is woken and destroyed without running further; a task
  // running right now finishes its current step first. Safe from any thread, repeatable.
  void abort() noexcept {
    if (job_) job_->abort();
  }
  // True once the task has run to its end or been destroyed after abort().
  bool is_finished() const noexcept { return !job_ || job_->finished(); }
  // Waits (without a runtime) until the task has finished or `timeout` passed; true if finished.
  template <class Rep, class Period>
  bool wait_finished(std::chrono::duration<Rep, Period> timeout) const {
    return !job_ || job_->wait_finished(timeout);
  }

 private:
  friend common::Result<JoinHandle, RuntimeFault> spawn(Runtime& rt, Task<void> task);
  explicit JoinHandle(std::shared_ptr<detail::Job> job) noexcept : job_(std::move(job)) {}

  std::shared_ptr<detail::Job> job_;
};

namespace detail {
// A started job for `task`; `on_finished` (may be empty) runs once its frames are destroyed.
std::shared_ptr<Job> spawn_job(Runtime& rt, Task<void> task, std::function<void()> on_finished);
}  // namespace detail

// Starts `task` on `rt`'s workers and returns at once. An exception escaping the task is logged
// (target "ostrel_runtime") and ends it.
common::Result<JoinHandle, RuntimeFault> spawn(Runtime& rt, Task<void> task);

}  // namespace ostrel::runtime
