#pragma once
// Awaiting Asio operations from a Task: pass `use_task` as the completion token.
//
//   std::error_code ec = co_await timer.async_wait(runtime::use_task);
//   auto [ec, n] = co_await socket.async_read_some(buffer, runtime::use_task);
//
// The result is the completion's arguments: nothing for void(), the single value for a
// one-argument completion, a tuple otherwise. Errors come back as values; nothing is thrown. The
// task resumes on the thread that runs the completion (a worker of the I/O object's io_context).
// When the task is a spawned one and gets aborted, the operation is cancelled through Asio's
// per-operation cancellation and the task is destroyed once it has completed.
#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_signal.hpp>
#include <coroutine>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "runtime/job.hpp"

namespace ostrel::runtime {

struct UseTask {};
inline constexpr UseTask use_task{};

namespace detail {

template <class... Args>
struct CompletionValue {
  using type = std::tuple<Args...>;
  static type make(Args&&... args) { return type(std::move(args)...); }
};
template <>
struct CompletionValue<> {
  using type = std::tuple<>;
  static type make() { return {}; }
};
template <class A>
struct CompletionValue<A> {
  using type = A;
  static type make(A&& a) { return std::move(a); }
};

// The awaitable returned by an initiating function given use_task. It lives in the awaiting
// coroutine's frame for the whole operation, so the handler refers to it by pointer.
template <class Initiation, class InitArgs, class... Args>
class AsioAwaitable final : private Canceller {
  using Value = typename CompletionValue<std::decay_t<Args>...>::type;

 public:
  AsioAwaitable(Initiation init, InitArgs args) : init_(std::move(init)), args_(std::move(args)) {}
  AsioAwaitable(const AsioAwaitable&) = delete;
  AsioAwaitable& operator=(const AsioAwaitable&) = delete;

  bool await_ready() const noexcept { return false; }

  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    resumer_ = Resumer{h, job_of(h)};
    return suspend_on_job(h, this, [this] {
      std::apply([this](auto&&... a) { std::move(init_)(Handler{this}, std::move(a)...); }, std::move(args_));
      return true;
    });
  }

  auto await_resume() {
    if constexpr (sizeof...(Args) == 0) {
      return;
    } else {
      return std::move(*value_);
    }
  }

 private:
  struct Handler {
    AsioAwaitable* self;

    using cancellation_slot_type = asio::cancellation_slot;
    cancellation_slot_type get_cancellation_slot() const noexcept {
      // Only a spawned task can be aborted; other operations carry no slot, so Asio skips the
      // cancellation machinery entirely for them.
      return self->resumer_.job != nullptr ? self->signal_.slot() : cancellation_slot_type();
    }

    void operator()(Args... args) {
      self->value_.emplace(CompletionValue<std::decay_t<Args>...>::make(std::move(args)...));
      self->resumer_();
    }
  };

  // Called under the job's lock while the operation is pending, on an abort.
  void cancel() noexcept override { signal_.emit(asio::cancellation_type::terminal); }

  Initiation init_;
  InitArgs args_;
  Resumer resumer_;
  asio::cancellation_signal signal_;
  std::optional<Value> value_;
};

}  // namespace detail
}  // namespace ostrel::runtime

template <class... Args>
struct asio::async_result<ostrel::runtime::UseTask, void(Args...)> {
  template <class Initiation, class... InitArgs>
  static auto initiate(Initiation&& init, ostrel::runtime::UseTask, InitArgs&&... args) {
    return ostrel::runtime::detail::AsioAwaitable<std::decay_t<Initiation>,
                                                  std::tuple<std::decay_t<InitArgs>...>, Args...>(
        std::forward<Initiation>(init), std::tuple<std::decay_t<InitArgs>...>(std::forward<InitArgs>(args)...));
  }
};
