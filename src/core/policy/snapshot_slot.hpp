#pragma once
// A shared value replaced as a whole while readers keep reading it. Readers never take a lock
// and never write a shared cache line: they protect the current node with a hazard cell of
// their own thread, read through it, and take a reference count only when they must keep the
// value across a suspension. A writer swaps in a new node and frees the old one unless a
// reader's cell still names it; such nodes wait for the next swap (or the slot's end). The
// value itself lives on while any reference-counted holder keeps it.
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/policy/hazard.hpp"

namespace ostrel::core {

template <class T>
class SnapshotSlot {
  struct Node {
    std::shared_ptr<const T> value;
  };

 public:
  explicit SnapshotSlot(std::shared_ptr<const T> value) : current_(new Node{std::move(value)}) {}
  SnapshotSlot(const SnapshotSlot&) = delete;
  SnapshotSlot& operator=(const SnapshotSlot&) = delete;
  // No reader may be inside read() any more: whoever destroys the slot owns it outright.
  ~SnapshotSlot() {
    delete current_.load(std::memory_order_relaxed);
    for (Node* n : retired_) delete n;
  }

  // Keeps the value that was current when it was made, for as long as it lives. It must not be
  // held across a suspension (its hazard cell belongs to this thread); take share() for that.
  class Reader {
   public:
    const T& operator*() const noexcept { return *value_; }
    const T* operator->() const noexcept { return value_; }
    std::shared_ptr<const T> share() const { return owned_ ? owned_ : node_->value; }

    Reader(Reader&& o) noexcept
        : cell_(std::exchange(o.cell_, nullptr)), node_(o.node_), owned_(std::move(o.owned_)), value_(o.value_) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    Reader& operator=(Reader&&) = delete;
    ~Reader() {
      if (cell_ != nullptr) cell_->store(nullptr, std::memory_order_release);
    }

   private:
    friend class SnapshotSlot;
    Reader() = default;
    std::atomic<const void*>* cell_ = nullptr;
    Node* node_ = nullptr;
    std::shared_ptr<const T> owned_;  // only when this thread had no free cell
    const T* value_ = nullptr;
  };

  Reader read() const {
    Reader r;
    r.cell_ = hazard::acquire_cell();
    if (r.cell_ == nullptr) {
      // Readers nested deeper than the thread has cells: rare enough to take the writers' lock.
      std::lock_guard lock(write_mu_);
      r.owned_ = current_.load(std::memory_order_relaxed)->value;
      r.value_ = r.owned_.get();
      return r;
    }
    // Publish the node, then check it is still current: a writer that swapped it out before
    // the publication is seen here, one that swaps it out afterwards sees the cell when it scans.
    Node* n = current_.load(std::memory_order_seq_cst);
    for (;;) {
      r.cell_->store(n, std::memory_order_seq_cst);
      Node* again = current_.load(std::memory_order_seq_cst);
      if (again == n) break;
      n = again;
    }
    r.node_ = n;
    r.value_ = n->value.get();
    return r;
  }

  std::shared_ptr<const T> load() const { return read().share(); }

  // Swaps in the new value; the previous node is freed at once unless a reader protects it.
  void store(std::shared_ptr<const T> value) {
    auto* fresh = new Node{std::move(value)};
    std::vector<Node*> unused;
    {
      std::lock_guard lock(write_mu_);
      Node* old = current_.exchange(fresh, std::memory_order_seq_cst);
      retired_.push_back(old);
      std::vector<const void*> guarded;
      hazard::protected_pointers(guarded);
      const auto kept = std::stable_partition(retired_.begin(), retired_.end(), [&](Node* n) {
        return std::find(guarded.begin(), guarded.end(), n) != guarded.end();
      });
      unused.assign(kept, retired_.end());
      retired_.erase(kept, retired_.end());
    }
    // An old value may be large; it is released outside the lock.
    for (Node* n : unused) delete n;
  }

 private:
  std::atomic<Node*> current_;
  mutable std::mutex write_mu_;
  std::vector<Node*> retired_;  // unpublished nodes that a reader's cell still named; under write_mu_
};

}  // namespace ostrel::core
