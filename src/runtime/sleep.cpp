#include "runtime/sleep.hpp"

#include <asio/steady_timer.hpp>

#include "runtime/runtime.hpp"
#include "runtime/use_task.hpp"

namespace ostrel::runtime {

Task<void> sleep_for(Runtime& rt, std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(rt.executor(), duration);
  // Only cancellation ends the wait early, and a cancelled (aborted) task never gets here.
  (void)co_await timer.async_wait(use_task);
}

}  // namespace ostrel::runtime
