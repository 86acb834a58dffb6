#pragma once
// Drives a Task that never suspends (in-process stores, the policy engine over them) to its
// result on the calling thread, without the shared runtime.
#include <coroutine>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

#include "runtime/task.hpp"

namespace ostrel::testing {

struct EagerDriver {
  struct promise_type {
    EagerDriver get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { error = std::current_exception(); }
    static inline thread_local std::exception_ptr error;
  };
};

template <class T>
T run_now(runtime::Task<T> task) {
  std::optional<T> out;
  EagerDriver::promise_type::error = nullptr;
  [](runtime::Task<T> t, std::optional<T>& o) -> EagerDriver { o.emplace(co_await std::move(t)); }(std::move(task),
                                                                                                     out);
  if (auto e = std::exchange(EagerDriver::promise_type::error, nullptr)) std::rethrow_exception(e);
  if (!out) throw std::logic_error("task suspended; run_now only drives tasks that complete at once");
  return std::move(*out);
}

}  // namespace ostrel::testing
