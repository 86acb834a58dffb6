#include "runtime/block_on.hpp"

#include "runtime/runtime.hpp"

namespace ostrel::runtime {
namespace {

std::atomic<void* (*)() noexcept> hook_before{nullptr};
std::atomic<void (*)(void*) noexcept> hook_after{nullptr};

}  // namespace

void set_blocking_hooks(BlockingHooks hooks) noexcept {
  if (hooks.before_wait == nullptr || hooks.after_wait == nullptr) hooks = {};
  hook_before.store(hooks.before_wait, std::memory_order_release);
  hook_after.store(hooks.after_wait, std::memory_order_release);
}

namespace detail {

bool on_runtime_worker() noexcept { return Runtime::current() != nullptr; }

RuntimeFault fault_from(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return RuntimeFault::task_failed(e.what());
  } catch (...) {
    return RuntimeFault::task_failed("unknown exception");
  }
}

void BlockOnWaiter::on_root_done() noexcept {
  if (state_.exchange(kDone, std::memory_order_acq_rel) != kWaiting) return;
  // The driving thread is asleep. Notify under the lock: once it sees done_ it destroys this
  // waiter, which must not happen while notify_one is still using the condition variable.
  std::lock_guard lock(mu_);
  done_ = true;
  cv_.notify_one();
}

void BlockOnWaiter::wait() {
  std::uint8_t expected = kRunning;
  if (!state_.compare_exchange_strong(expected, kWaiting, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
    return;  // finished during the first resume
  }
  auto* before = hook_before.load(std::memory_order_acquire);
  auto* after = hook_after.load(std::memory_order_acquire);
  void* token = before != nullptr ? before() : nullptr;
  {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return done_; });
  }
  if (after != nullptr) after(token);
}

}  // namespace detail
}  // namespace ostrel::runtime
