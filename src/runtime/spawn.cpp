#include "runtime/spawn.hpp"

#include "runtime/runtime.hpp"

namespace ostrel::runtime {

common::Result<JoinHandle, RuntimeFault> spawn(Runtime& rt, Task<void> task) {
  if (!task.valid()) return common::fail(RuntimeFault::invalid_task());
  auto job = detail::Job::make(rt, detail::TaskAccess::handle(task));
  // The job owns the frame from here on.
  (void)detail::TaskAccess::release(task);
  job->start();
  return JoinHandle(std::move(job));
}

}  // namespace ostrel::runtime
