#pragma once
// A bounded broadcast channel: every receiver sees, in order, each item sent after it subscribed.
//
// Items live in one ring of `capacity` slots shared by all receivers; each receiver only keeps its
// position. A receiver that falls more than `capacity` items behind loses the oldest ones and is
// told how many (Lagged) before it continues with the oldest item still kept, so a slow receiver
// never holds up senders and memory stays bounded by the capacity whatever the number of
// receivers. When the last sender is gone, receivers get what is still kept for them, then Closed.
//
// Sending is one slot write under a short lock; receivers waiting for an item are handed, as one
// batch, to a single job posted to the runtime, which resumes each of them on a worker. The cost
// of a send therefore does not depend on the number of receivers.
#include <algorithm>
#include <atomic>
#include <cassert>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "runtime/job.hpp"
#include "runtime/task.hpp"

namespace ostrel::runtime {

class Runtime;

// The receiver fell behind and lost `count` items; the next receive continues with the oldest
// item still kept.
struct Lagged {
  std::uint64_t count;
  bool operator==(const Lagged&) const = default;
};
// Every sender is gone and everything kept for this receiver has been received.
struct Closed {
  bool operator==(const Closed&) const = default;
};
// Nothing to receive right now (try_recv only).
struct Empty {
  bool operator==(const Empty&) const = default;
};

template <class T>
using Received = std::variant<T, Lagged, Closed>;
template <class T>
using TryReceived = std::variant<T, Lagged, Closed, Empty>;

// A send with no receiver: nobody could ever receive the item, so it is handed back.
template <class T>
struct SendError {
  T value;
  std::string display() const { return "broadcast channel has no receivers"; }
};

template <class T>
class BroadcastSender;
template <class T>
class BroadcastReceiver;

namespace detail {

// Where a receiver's waiting coroutine is resumed when no job names a runtime: the runtime of the
// current worker, else the process-wide one; null (resume on the sender's thread) only if that
// cannot be created.
Runtime* runtime_for_waiter(Job* job) noexcept;
// Resumes every waiter of a batch taken off a channel (see BroadcastShared::take_waiters).
struct BroadcastWaitNode;
void wake_batch(BroadcastWaitNode* head);

struct BroadcastWaitNode {
  BroadcastWaitNode* prev = nullptr;
  BroadcastWaitNode* next = nullptr;
  Resumer resumer;
  Runtime* rt = nullptr;
  std::uint64_t epoch = 0;  // the channel's epoch when queued; a later epoch means taken off
  bool queued = false;
};

template <class T>
class BroadcastShared {
 public:
  explicit BroadcastShared(std::size_t capacity) : slots_(capacity) {}

  struct Slot {
    std::optional<T> value;
    std::size_t unread = 0;  // receivers that have yet to take it; the value is dropped at 0
  };

  std::mutex mu;
  std::vector<Slot> slots_;
  std::uint64_t tail = 0;  // position of the next item sent
  std::size_t receivers = 0;
  std::atomic<std::size_t> senders{1};
  bool closed = false;
  // Receivers waiting for the next item or the close, in a list that is taken whole by the next
  // send. epoch counts those takes, so a canceller can tell whether its node is still here.
  BroadcastWaitNode* waiters = nullptr;
  std::uint64_t epoch = 0;

  std::size_t capacity() const noexcept { return slots_.size(); }
  Slot& slot(std::uint64_t pos) noexcept { return slots_[pos % slots_.size()]; }
  std::uint64_t oldest_kept() const noexcept { return tail > capacity() ? tail - capacity() : 0; }

  // With mu held.
  BroadcastWaitNode* take_waiters() noexcept {
    if (waiters != nullptr) ++epoch;
    return std::exchange(waiters, nullptr);
  }
  void enqueue(BroadcastWaitNode& n) noexcept {
    n.prev = nullptr;
    n.next = waiters;
    if (waiters != nullptr) waiters->prev = &n;
    waiters = &n;
    n.epoch = epoch;
    n.queued = true;
  }
  // True if `n` was still queued here and is now removed.
  bool remove(BroadcastWaitNode& n) noexcept {
    if (!n.queued || n.epoch != epoch) return false;
    if (n.prev != nullptr) {
      n.prev->next = n.next;
    } else {
      waiters = n.next;
    }
    if (n.next != nullptr) n.next->prev = n.prev;
    n.queued = false;
    return true;
  }

  // With mu held: the receive at position `next`.
  TryReceived<T> take(std::uint64_t& next) {
    if (next == tail) {
      if (closed) return Closed{};
      return Empty{};
    }
    const std::uint64_t oldest = oldest_kept();
    if (next < oldest) {
      const std::uint64_t lost = oldest - next;
      next = oldest;
      return Lagged{lost};
    }
    Slot& s = slot(next++);
    assert(s.value.has_value() && s.unread > 0);
    if (--s.unread == 0) {
      T v = std::move(*s.value);
      s.value.reset();
      return TryReceived<T>(std::in_place_index<0>, std::move(v));
    }
    return TryReceived<T>(std::in_place_index<0>, *s.value);
  }

  // With mu held: a receiver at position `next` leaves; release its claims on kept items.
  void leave(std::uint64_t next) noexcept {
    --receivers;
    for (std::uint64_t p = std::max(next, oldest_kept()); p < tail; ++p) {
      Slot& s = slot(p);
      if (s.unread > 0 && --s.unread == 0) s.value.reset();
    }
  }
};

// Suspends a receiver until the channel has something for position `next` (an item or the close).
template <class T>
class BroadcastWait final : private Canceller {
 public:
  BroadcastWait(BroadcastShared<T>& ch, std::uint64_t next) noexcept : ch_(ch), next_(next) {}
  BroadcastWait(const BroadcastWait&) = delete;
  BroadcastWait& operator=(const BroadcastWait&) = delete;

  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    node_.resumer = Resumer{h, job_of(h)};
    node_.rt = runtime_for_waiter(node_.resumer.job);
    return suspend_on_job(h, this, [this] {
      std::lock_guard lock(ch_.mu);
      if (ch_.tail != next_ || ch_.closed) return false;
      ch_.enqueue(node_);
      return true;
    });
  }
  void await_resume() const noexcept {}

 private:
  void cancel() noexcept override {
    bool removed;
    {
      std::lock_guard lock(ch_.mu);
      removed = ch_.remove(node_);
    }
    // If not removed, a send or the close has taken the node and will resume it.
    if (removed) node_.resumer.job->post_resume(node_.resumer.handle);
  }

  BroadcastShared<T>& ch_;
  std::uint64_t next_;
  BroadcastWaitNode node_;
};

}  // namespace detail

template <class T>
class BroadcastReceiver {
 public:
  BroadcastReceiver() = default;
  BroadcastReceiver(BroadcastReceiver&& o) noexcept
      : ch_(std::move(o.ch_)), next_(std::exchange(o.next_, 0)) {}
  BroadcastReceiver& operator=(BroadcastReceiver&& o) noexcept {
    if (this != &o) {
      release();
      ch_ = std::move(o.ch_);
      next_ = std::exchange(o.next_, 0);
    }
    return *this;
  }
  BroadcastReceiver(const BroadcastReceiver&) = delete;
  BroadcastReceiver& operator=(const BroadcastReceiver&) = delete;
  ~BroadcastReceiver() { release(); }

  bool valid() const noexcept { return static_cast<bool>(ch_); }

  // The next item, Lagged, Closed, or Empty when nothing has arrived yet. Never waits.
  TryReceived<T> try_recv() {
    if (!ch_) return Closed{};
    std::lock_guard lock(ch_->mu);
    return ch_->take(next_);
  }

  // Waits for the next item (or Lagged, or Closed). When it has to wait, the awaiting task resumes
  // on a runtime worker. One receiver serves one consumer: do not receive concurrently on it. In an
  // aborted spawned task it never returns, even when items are waiting: the task ends here.
  Task<Received<T>> recv() {
    for (;;) {
      co_await abort_point();
      TryReceived<T> r = try_recv();
      switch (r.index()) {
        case 0:
          co_return Received<T>(std::in_place_index<0>, std::move(std::get<0>(r)));
        case 1:
          co_return std::get<1>(r);
        case 2:
          co_return Closed{};
        default:
          co_await detail::BroadcastWait<T>(*ch_, next_);
      }
    }
  }

 private:
  friend class BroadcastSender<T>;
  BroadcastReceiver(std::shared_ptr<detail::BroadcastShared<T>> ch, std::uint64_t next) noexcept
      : ch_(std::move(ch)), next_(next) {}

  void release() noexcept {
    if (!ch_) return;
    {
      std::lock_guard lock(ch_->mu);
      ch_->leave(next_);
    }
    ch_.reset();
  }

  std::shared_ptr<detail::BroadcastShared<T>> ch_;
  std::uint64_t next_ = 0;
};

// The sending end. Copies share the channel; it closes when the last copy is gone.
template <class T>
class BroadcastSender {
 public:
  // `capacity` items are kept for lagging receivers. Zero is a programming error.
  explicit BroadcastSender(std::size_t capacity) {
    if (capacity == 0) throw std::invalid_argument("broadcast channel capacity must be greater than 0");
    ch_ = std::make_shared<detail::BroadcastShared<T>>(capacity);
  }
  BroadcastSender(const BroadcastSender& o) noexcept : ch_(o.ch_) {
    if (ch_) ch_->senders.fetch_add(1, std::memory_order_relaxed);
  }
  BroadcastSender(BroadcastSender&& o) noexcept : ch_(std::move(o.ch_)) {}
  BroadcastSender& operator=(BroadcastSender o) noexcept {
    std::swap(ch_, o.ch_);
    return *this;
  }
  ~BroadcastSender() { release(); }

  // Delivers `value` to every current receiver; returns how many there are. With none, the value
  // is handed back in the error. Never waits for receivers.
  common::Result<std::size_t, SendError<T>> send(T value) const {
    if (!ch_) return common::fail(SendError<T>{std::move(value)});  // moved from
    detail::BroadcastWaitNode* woken;
    std::size_t receivers;
    std::optional<T> old;
    {
      std::lock_guard lock(ch_->mu);
      receivers = ch_->receivers;
      if (receivers == 0) return common::fail(SendError<T>{std::move(value)});
      auto& s = ch_->slot(ch_->tail++);
      // The displaced item is destroyed after the lock is released.
      old = std::exchange(s.value, std::optional<T>(std::move(value)));
      s.unread = receivers;
      woken = ch_->take_waiters();
    }
    if (woken != nullptr) detail::wake_batch(woken);
    return receivers;
  }

  // A receiver of every item sent from now on.
  BroadcastReceiver<T> subscribe() const {
    if (!ch_) return {};  // moved from: a receiver that is closed at once
    std::lock_guard lock(ch_->mu);
    ++ch_->receivers;
    return BroadcastReceiver<T>(ch_, ch_->tail);
  }

  std::size_t receiver_count() const {
    if (!ch_) return 0;
    std::lock_guard lock(ch_->mu);
    return ch_->receivers;
  }
  std::size_t capacity() const noexcept { return ch_ ? ch_->capacity() : 0; }

 private:
  void release() noexcept {
    if (!ch_) return;
    if (ch_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      detail::BroadcastWaitNode* woken;
      {
        std::lock_guard lock(ch_->mu);
        ch_->closed = true;
        woken = ch_->take_waiters();
      }
      if (woken != nullptr) detail::wake_batch(woken);
    }
    ch_.reset();
  }

  std::shared_ptr<detail::BroadcastShared<T>> ch_;
};

}  // namespace ostrel::runtime
