#pragma once
// Task<T>: the coroutine type of every asynchronous core operation.
//
// A Task is lazy: creating it runs nothing; the body starts when the task is awaited (from another
// Task), driven by block_on() on the calling thread, or spawned onto the runtime's workers. Awaiting
// a Task transfers control to it directly and back again when it finishes (symmetric transfer), so
// a chain of tasks that never waits on anything external runs like a chain of plain calls on the
// calling thread. Frames are recycled per thread (frame_pool.hpp), so such a chain does not call
// malloc once warmed up.
//
// Exceptions escaping a task body are carried to the awaiter and rethrown there; block_on turns an
// escaping exception into a RuntimeFault. Errors proper are values (Task<Result<T, E>>).
//
// Compiler pitfall (GCC 12): a temporary of an aggregate type with a non-trivial destructor that is
// brace-initialised inside a co_await expression is destroyed twice, e.g.
//     co_await store.put(Record{id, name});            // Record an aggregate holding a string
//     co_await Waiter{shared_ptr_member};               // an aggregate awaiter
// Name the value first (`Record r{...}; co_await store.put(std::move(r));`) or give the type a
// constructor. Temporaries of non-aggregate types (std::string, std::pair, Task) are not affected.
#include <cassert>
#include <concepts>
#include <coroutine>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "runtime/frame_pool.hpp"

namespace ostrel::runtime {

template <class T = void>
class Task;

namespace detail {

class Job;  // state of a spawned task (runtime/spawn.hpp)

// Notified when a task that nobody awaits (the one given to block_on or spawn) finishes. The
// notification runs on the thread that finished the task; it may destroy the task's frame.
class RootObserver {
 public:
  virtual void on_root_done() noexcept = 0;

 protected:
  ~RootObserver() = default;
};

class PromiseBase {
 public:
  static void* operator new(std::size_t size) { return frame_allocate(size); }
  static void operator delete(void* frame, std::size_t size) noexcept { frame_deallocate(frame, size); }

  std::suspend_always initial_suspend() const noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
      PromiseBase& p = self.promise();
      if (p.continuation_) return p.continuation_;
      // Nothing of the frame may be touched after this call: the observer may destroy it.
      if (RootObserver* root = p.root_) root->on_root_done();
      return std::noop_coroutine();
    }
    void await_resume() const noexcept {}
  };
  FinalAwaiter final_suspend() const noexcept { return {}; }

  void unhandled_exception() noexcept { error_ = std::current_exception(); }

  // The spawned task this frame belongs to, or null when it runs under block_on. Leaf awaitables
  // (channel receive, timers, I/O) use it to make an aborted task stop at its next suspension.
  Job* job() const noexcept { return job_; }
  void set_job(Job* job) noexcept { job_ = job; }
  void set_root(RootObserver* root) noexcept { root_ = root; }
  bool failed() const noexcept { return static_cast<bool>(error_); }
  const std::exception_ptr& error() const noexcept { return error_; }

 protected:
  void rethrow_if_failed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  template <class>
  friend class ostrel::runtime::Task;

  std::coroutine_handle<> continuation_;
  RootObserver* root_ = nullptr;
  Job* job_ = nullptr;
  std::exception_ptr error_;
};

// The job of the coroutine behind `h`, for awaitables that may be awaited from any coroutine type.
template <class P>
Job* job_of(std::coroutine_handle<P> h) noexcept {
  if constexpr (std::is_base_of_v<PromiseBase, P>) {
    return h.promise().job();
  } else {
    (void)h;
    return nullptr;
  }
}

template <class T>
class Promise final : public PromiseBase {
 public:
  Task<T> get_return_object() noexcept;

  void return_value(const T& value) { value_.emplace(value); }
  void return_value(T&& value) { value_.emplace(std::move(value)); }

  T take() {
    rethrow_if_failed();
    assert(value_.has_value());
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
};

template <>
class Promise<void> final : public PromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() const noexcept {}
  void take() const { rethrow_if_failed(); }
};

struct TaskAccess;

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
  static_assert(!std::is_reference_v<T>, "a Task returns values; return a pointer for a reference");

 public:
  using promise_type = detail::Promise<T>;
  using value_type = T;

  Task() noexcept = default;
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  // False for a default-constructed or moved-from task, which must not be awaited.
  bool valid() const noexcept { return static_cast<bool>(handle_); }

  class Awaiter {
   public:
    explicit Awaiter(std::coroutine_handle<promise_type> child) noexcept : child_(child) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
      assert(child_ && "awaiting an empty Task");
      promise_type& p = child_.promise();
      p.continuation_ = parent;
      p.job_ = detail::job_of(parent);
      return child_;
    }
    T await_resume() { return child_.promise().take(); }

   private:
    std::coroutine_handle<promise_type> child_;
  };

  // Awaiting consumes the task: `co_await make_task()` or `co_await std::move(task)`.
  Awaiter operator co_await() && noexcept { return Awaiter{handle_}; }

 private:
  friend class detail::Promise<T>;
  friend struct detail::TaskAccess;

  explicit Task(std::coroutine_handle<promise_type> h) noexcept : handle_(h) {}

  void reset() noexcept {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

  std::coroutine_handle<promise_type> handle_;
};

namespace detail {

template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>{std::coroutine_handle<Promise<T>>::from_promise(*this)};
}

inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>{std::coroutine_handle<Promise<void>>::from_promise(*this)};
}

// For the drivers (block_on, spawn), which start a task and own its frame themselves.
struct TaskAccess {
  template <class T>
  static std::coroutine_handle<Promise<T>> handle(const Task<T>& task) noexcept {
    return task.handle_;
  }
  template <class T>
  static std::coroutine_handle<Promise<T>> release(Task<T>& task) noexcept {
    return std::exchange(task.handle_, {});
  }
};

}  // namespace detail

// A task that yields `value` without waiting for anything. The value is taken by copy: a task
// starts later than it is created, so reference parameters of task functions must outlive the task.
template <class T>
Task<T> ready(T value) {
  co_return std::move(value);
}

}  // namespace ostrel::runtime
