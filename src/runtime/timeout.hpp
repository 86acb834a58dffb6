#pragma once
// Bounding an asynchronous operation in time.
#include <asio/steady_timer.hpp>
#include <chrono>
#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <type_traits>

#include "runtime/job.hpp"
#include "runtime/runtime.hpp"
#include "runtime/spawn.hpp"
#include "runtime/task.hpp"

namespace ostrel::runtime {

namespace detail {

template <class T>
using Bounded = std::conditional_t<std::is_void_v<T>, bool, std::optional<T>>;

template <class T>
struct TimeoutState {
  TimeoutState(Runtime& rt, std::chrono::steady_clock::duration limit) : timer(rt.executor(), limit) {}
  asio::steady_timer timer;
  std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;  // set when the task ended in time
  std::exception_ptr error;
  Resumer outer;
};

template <class T>
Task<void> run_bounded(std::shared_ptr<TimeoutState<T>> st, Task<T> task) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(task);
      st->value.emplace(true);
    } else {
      st->value.emplace(co_await std::move(task));
    }
  } catch (...) {
    st->error = std::current_exception();
  }
}

// Runs the operation as a job of its own next to a timer; the timer aborts the job. The awaiting
// coroutine resumes only once the job's frames are gone, so the operation never outlives the
// call, even when it refers to the caller's objects.
template <class T>
class TimeoutAwaiter final : private Canceller {
 public:
  TimeoutAwaiter(Runtime& rt, std::chrono::steady_clock::duration limit, Task<T> task)
      : rt_(rt), st_(std::make_shared<TimeoutState<T>>(rt, limit)), task_(std::move(task)) {}
  TimeoutAwaiter(const TimeoutAwaiter&) = delete;
  TimeoutAwaiter& operator=(const TimeoutAwaiter&) = delete;

  bool await_ready() const noexcept { return false; }

  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    st_->outer = Resumer{h, job_of(h)};
    return suspend_on_job(h, this, [this] {
      auto st = st_;
      // The timer is armed before the job can end, so the hook below never races its arming.
      Task<void> wrapper = run_bounded<T>(st, std::move(task_));
      auto job = Job::make(rt_, TaskAccess::release(wrapper));
      job->on_finished([st]() mutable {
        st->timer.cancel();
        // Let go of the state before resuming: the awaiting side then owns it alone and releases
        // it, with the result in it, on its own thread.
        const Resumer outer = st->outer;
        st.reset();
        outer();
      });
      job_ = job;
      st->timer.async_wait([weak = std::weak_ptr<Job>(job)](std::error_code ec) {
        if (ec) return;  // cancelled: the operation ended first
        if (auto j = weak.lock()) j->abort();
      });
      job->start();
      // Nothing of this awaiter may be touched from here on: the coroutine may already be resumed.
      return true;
    });
  }

  Bounded<T> await_resume() {
    if (st_->error) std::rethrow_exception(st_->error);
    if constexpr (std::is_void_v<T>) {
      return st_->value.has_value();
    } else {
      return std::move(st_->value);
    }
  }

 private:
  // The awaiting task itself is being aborted: stop the operation; its end resumes us.
  void cancel() noexcept override {
    if (auto j = job_.lock()) j->abort();
  }

  Runtime& rt_;
  std::shared_ptr<TimeoutState<T>> st_;
  Task<T> task_;
  std::weak_ptr<Job> job_;
};

}  // namespace detail

// Runs `task` with a time limit. The result is the task's (wrapped in an optional; for a void task
// true) when it ends within `limit`, or empty (false) when the limit is reached first: the task is
// then aborted and has been destroyed by the time this returns. The task runs on `rt`'s workers.
// An exception escaping the task is rethrown here.
template <class T>
Task<detail::Bounded<T>> with_timeout(Runtime& rt, std::chrono::steady_clock::duration limit, Task<T> task) {
  if (!task.valid()) throw std::invalid_argument("with_timeout given an empty task");
  co_return co_await detail::TimeoutAwaiter<T>(rt, limit, std::move(task));
}

}  // namespace ostrel::runtime
