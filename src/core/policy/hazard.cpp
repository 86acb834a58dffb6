#include "core/policy/hazard.hpp"

#include <array>

namespace ostrel::core::hazard {
namespace {

constexpr std::size_t kCellsPerThread = 4;

// One per thread that ever read a slot. Records are never freed, only handed to the next new
// thread once their owner has exited, so a writer may walk the list at any time.
struct alignas(64) Record {
  std::array<std::atomic<const void*>, kCellsPerThread> cells{};
  std::atomic<bool> in_use{false};
  Record* next = nullptr;
};

std::atomic<Record*> g_records{nullptr};

Record* claim_record() {
  for (Record* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    bool expected = false;
    if (!r->in_use.load(std::memory_order_relaxed) &&
        r->in_use.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      return r;
    }
  }
  auto* r = new Record;
  r->in_use.store(true, std::memory_order_relaxed);
  Record* head = g_records.load(std::memory_order_relaxed);
  do {
    r->next = head;
  } while (!g_records.compare_exchange_weak(head, r, std::memory_order_release, std::memory_order_relaxed));
  return r;
}

struct ThreadRecord {
  Record* record = claim_record();
  ~ThreadRecord() {
    for (auto& c : record->cells) c.store(nullptr, std::memory_order_release);
    record->in_use.store(false, std::memory_order_release);
  }
};

}  // namespace

std::atomic<const void*>* acquire_cell() noexcept {
  static thread_local ThreadRecord mine;
  for (auto& c : mine.record->cells) {
    // Only this thread writes its cells, so a null cell stays free until we fill it.
    if (c.load(std::memory_order_relaxed) == nullptr) return &c;
  }
  return nullptr;
}

void protected_pointers(std::vector<const void*>& out) {
  out.clear();
  for (Record* r = g_records.load(std::memory_order_acquire); r != nullptr; r = r->next) {
    for (const auto& c : r->cells) {
      if (const void* p = c.load(std::memory_order_seq_cst)) out.push_back(p);
    }
  }
}

}  // namespace ostrel::core::hazard
