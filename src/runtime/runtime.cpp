#include "runtime/runtime.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <system_error>

#include "common/log.hpp"
#include "runtime/once_cell.hpp"

namespace ostrel::runtime {
namespace {

thread_local Runtime* current_runtime = nullptr;

std::mutex injected_mu;
std::optional<std::string> injected_failure;

std::optional<std::string> take_injected_failure() {
  std::lock_guard lock(injected_mu);
  return std::exchange(injected_failure, std::nullopt);
}

}  // namespace

namespace detail {
void fail_next_creation(std::string reason) {
  std::lock_guard lock(injected_mu);
  injected_failure = std::move(reason);
}
}  // namespace detail

common::Result<std::unique_ptr<Runtime>, RuntimeFault> Runtime::create(std::size_t threads) {
  if (auto reason = take_injected_failure()) return common::fail(RuntimeFault::creation_failed(*reason));
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  std::unique_ptr<Runtime> rt;
  try {
    rt.reset(new Runtime());
    rt->workers_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) rt->workers_.emplace_back([p = rt.get()] { p->work(); });
  } catch (const std::exception& e) {
    // The destructor joins whatever workers did start, so nothing half-built survives.
    rt.reset();
    return common::fail(RuntimeFault::creation_failed(e.what()));
  }
  return rt;
}

Runtime::~Runtime() {
  guard_.reset();
  io_.stop();
  for (auto& w : workers_) {
    if (w.joinable()) w.join();
  }
}

Runtime* Runtime::current() noexcept { return current_runtime; }

void Runtime::work() noexcept {
  current_runtime = this;
  for (;;) {
    try {
      io_.run();
      return;
    } catch (const std::exception& e) {
      // A handler that throws must not take its worker down: the pool would shrink silently.
      if (common::log::enabled()) {
        common::log::emit(common::log::Level::Error, "ostrel_runtime", "runtime/runtime",
                          "runtime handler raised, worker continues", {{"error", std::string_view(e.what())}});
      }
    } catch (...) {
      if (common::log::enabled()) {
        common::log::emit(common::log::Level::Error, "ostrel_runtime", "runtime/runtime",
                          "runtime handler raised, worker continues",
                          {{"error", std::string_view("unknown exception")}});
      }
    }
  }
}

namespace {

// The cell itself is leaked: the runtime must outlive static destruction, during which other
// threads may still be using it.
OnceCell<Runtime>& shared_cell() {
  static auto* const cell = [] {
    auto* c = new OnceCell<Runtime>();
    // A forked child has none of the parent's worker threads: a task waiting on the inherited
    // runtime would never be resumed. The child builds its own on first use instead.
    pthread_atfork(nullptr, nullptr, [] {
      current_runtime = nullptr;
      shared_cell().forget_after_fork();
    });
    return c;
  }();
  return *cell;
}

}  // namespace

common::Result<Runtime*, RuntimeFault> runtime() {
  return shared_cell().get_or_try_init([] { return Runtime::create(); });
}

}  // namespace ostrel::runtime
