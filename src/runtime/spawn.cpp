#include "runtime/spawn.hpp"

#include "runtime/runtime.hpp"

namespace ostrel::runtime {

namespace detail {

std::shared_ptr<Job> spawn_job(Runtime& rt, Task<void> task, std::function<void()> on_finished) {
  auto job = Job::make(rt, TaskAccess::handle(task));
  // The job owns the frame from here on.
  (void)TaskAccess::release(task);
  if (on_finished) job->on_finished(std::move(on_finished));
  job->start();
  return job;
}

}  // namespace detail

common::Result<JoinHandle, RuntimeFault> spawn(Runtime& rt, Task<void> task) {
  if (!task.valid()) return common::fail(RuntimeFault::invalid_task());
  return JoinHandle(detail::spawn_job(rt, std::move(task), {}));
}

}  // namespace ostrel::runtime
