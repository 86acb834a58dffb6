#pragma once
// How a synchronous Python method waits for asynchronous core work: it obtains the shared
// runtime (created on first use) and runs the operation to completion on the calling thread.
// Anything the operation hands to the runtime's workers (network I/O) runs there meanwhile.
//
// While the calling thread really sleeps on a worker, the interpreter lock is let go so that
// listener callbacks (which need the lock on a worker thread) cannot deadlock with the waiting
// call. The call's arguments stay referenced by the caller's frame and its instance borrows stay
// held for the whole wait, so nothing it uses can be freed or changed under it. An operation
// that never suspends (every in-process store) never lets go of the lock.
#include <utility>

#include "py/bind/errors.hpp"
#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace ostrel::py {

// The shared runtime; nullptr with the internal fault raised if it cannot be created (the next
// call tries again).
runtime::Runtime* shared_runtime();

namespace detail {
// Marks the calling thread as a Python thread holding the interpreter lock for the duration of a
// block_on, so that the runtime's wait hooks may release and retake the lock on it.
class LockReleasePermit {
 public:
  LockReleasePermit() noexcept;
  ~LockReleasePermit();
  LockReleasePermit(const LockReleasePermit&) = delete;
  LockReleasePermit& operator=(const LockReleasePermit&) = delete;

 private:
  bool previous_;
};
}  // namespace detail

// Runs `task` to completion. A runtime fault (no runtime, a call from one of the runtime's own
// worker threads, an exception escaping the task) is raised as the internal fault.
template <class T>
bind::PyResult<T> wait_on_runtime(runtime::Task<T> task) {
  if (shared_runtime() == nullptr) return bind::pending();
  auto result = [&] {
    detail::LockReleasePermit permit;
    return runtime::block_on(std::move(task));
  }();
  if (!result) return bind::raise(bind::ErrorKind::Fault, result.error().display());
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*result);
  }
}

// Installs the runtime's wait hooks; called once by module initialisation.
void install_blocking_hooks() noexcept;

}  // namespace ostrel::py
