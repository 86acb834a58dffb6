#pragma once
// A cell initialised at most once, by the first caller whose initialisation succeeds.
#include <atomic>
#include <concepts>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "common/error.hpp"

namespace ostrel::runtime {

template <class T>
class OnceCell {
 public:
  OnceCell() = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;
  ~OnceCell() { delete value_.load(std::memory_order_acquire); }

  T* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // In the child of a fork: forgets the value without destroying it (its threads, locks and
  // queues belong to the parent and cannot be trusted), so the next use creates a new one. The
  // init lock may have been held by a parent thread at the fork; the child gets a fresh one.
  void forget_after_fork() noexcept {
    value_.store(nullptr, std::memory_order_release);
    new (&init_mu_) std::mutex();
  }

  // Returns the value, creating it with `init` (returning Result<std::unique_ptr<T>, E>) if the
  // cell is empty. Concurrent first callers wait for one another, so exactly one initialisation
  // runs at a time and at most one succeeds. A failed initialisation leaves the cell empty and its
  // error goes to that caller; the next caller tries again.
  template <class Init>
  auto get_or_try_init(Init&& init)
      -> common::Result<T*, typename std::invoke_result_t<Init&>::error_type> {
    if (T* v = get()) return v;
    std::lock_guard lock(init_mu_);
    if (T* v = get()) return v;
    auto made = init();
    if (!made) return std::unexpected(std::move(made).error());
    T* v = made->release();
    value_.store(v, std::memory_order_release);
    return v;
  }

 private:
  std::atomic<T*> value_{nullptr};
  std::mutex init_mu_;
};

}  // namespace ostrel::runtime
