#pragma once
// The state of a spawned task, and the protocol by which awaitables that wait on something
// external (a channel, a timer, a socket) cooperate with aborting that task.
//
// A spawned task is aborted by destroying its frames, which is only safe while none of them is
// referenced by a pending wait. So abort never destroys a waiting task directly: it asks the
// pending wait to end early (Canceller), and the task is destroyed instead of resumed when that
// wait completes. Waits register their canceller under the job's lock for their whole set-up, and
// every resumption of a job's coroutine goes through Job::resume, which takes the same lock to
// unregister it; so a canceller is only ever called while its wait is set up and not yet over.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <functional>
#include <memory>
#include <mutex>

#include "runtime/task.hpp"

namespace ostrel::runtime {

class Runtime;

namespace detail {

// Ends a pending wait early. Called with the job's lock held; must not resume the waiting
// coroutine itself (it would need that lock), but arrange for it to be resumed soon, normally by
// posting to the runtime or by cancelling an I/O operation whose completion will resume it.
class Canceller {
 public:
  virtual void cancel() noexcept = 0;

 protected:
  ~Canceller() = default;
};

class Job final : public RootObserver {
 public:
  Job(Runtime& rt, std::coroutine_handle<Promise<void>> root) noexcept : rt_(rt), root_(root) {}

  static std::shared_ptr<Job> make(Runtime& rt, std::coroutine_handle<Promise<void>> root);

  Runtime& runtime() const noexcept { return rt_; }

  // Called once on the thread that ends the task, after its frames are destroyed. Set before
  // start(). It must not block; it may resume another coroutine.
  void on_finished(std::function<void()> hook) { finish_hook_ = std::move(hook); }
  // Posts the first resumption of the task to the runtime.
  void start();
  // Requests that the task stop at its next suspension point. Idempotent.
  void abort() noexcept;
  bool aborted() const noexcept { return aborted_.load(std::memory_order_acquire); }
  bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // Waits until the task has finished or `timeout` has passed; true if it finished.
  template <class Rep, class Period>
  bool wait_finished(std::chrono::duration<Rep, Period> timeout) const {
    std::unique_lock lock(done_mu_);
    return done_cv_.wait_for(lock, timeout, [&] { return finished(); });
  }

  // Resumes `h`, a coroutine of this job waiting on an external event that has now happened, on
  // the calling thread; or, when the job was aborted meanwhile, destroys the task instead.
  void resume(std::coroutine_handle<> h) noexcept;
  // The same, from a worker of the job's runtime.
  void post_resume(std::coroutine_handle<> h);

  void on_root_done() noexcept override;

 private:
  template <class P, class Start>
  friend bool suspend_on_job(std::coroutine_handle<P> h, Canceller* canceller, Start&& start);

  void destroy_task() noexcept;

  Runtime& rt_;
  std::coroutine_handle<Promise<void>> root_;
  std::atomic<bool> aborted_{false};
  std::atomic<bool> finished_{false};
  std::mutex mu_;
  Canceller* canceller_ = nullptr;  // the current wait's, guarded by mu_
  // Keeps the job alive while its task exists: the task's coroutines refer to it by pointer.
  std::shared_ptr<Job> self_;
  std::function<void()> finish_hook_;
  mutable std::mutex done_mu_;
  mutable std::condition_variable done_cv_;
};

// Where a coroutine waiting on an external event is resumed: through its job when it belongs to a
// spawned task, directly otherwise (a task driven by block_on is never aborted).
struct Resumer {
  std::coroutine_handle<> handle;
  Job* job = nullptr;

  void operator()() const noexcept {
    if (job != nullptr) {
      job->resume(handle);
    } else {
      handle.resume();
    }
  }
};

// The body of an external wait's await_suspend. `start()` sets up the wait (registers with the
// event source, initiates the operation) and returns true, or returns false when the awaited
// event has already happened so the coroutine need not suspend. For a job's coroutine, `start`
// runs under the job's lock with `canceller` registered; it must not call back into the job. When
// the job is already aborted, nothing is started and the task is posted for destruction.
template <class P, class Start>
bool suspend_on_job(std::coroutine_handle<P> h, Canceller* canceller, Start&& start) {
  Job* job = job_of(h);
  if (job == nullptr) return start();
  std::unique_lock lock(job->mu_);
  if (job->aborted()) {
    lock.unlock();
    job->post_resume(h);
    return true;
  }
  job->canceller_ = canceller;
  const bool waiting = start();
  if (!waiting) job->canceller_ = nullptr;
  return waiting;
}

// Ends the awaiting task here if it belongs to an aborted job; otherwise does not suspend. For
// loops whose waits may all complete at once (a receiver with a backlog never suspends), so that
// an abort still takes effect at the next turn.
struct AbortPoint {
  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    Job* job = job_of(h);
    if (job == nullptr || !job->aborted()) return false;
    job->post_resume(h);  // resumption of an aborted job destroys it
    return true;
  }
  void await_resume() const noexcept {}
};

}  // namespace detail

// `co_await abort_point();` stops an aborted spawned task right there.
inline detail::AbortPoint abort_point() noexcept { return {}; }

}  // namespace ostrel::runtime
