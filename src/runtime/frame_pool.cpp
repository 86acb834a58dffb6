#include "runtime/frame_pool.hpp"

#include <array>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define OSTREL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define OSTREL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define OSTREL_POISON(p, n) ((void)(p), (void)(n))
#define OSTREL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ostrel::runtime::detail {
namespace {

// Frames are rounded up to multiples of kGranule; frames above kMaxPooled go straight to the heap
// (they are rare and large enough that malloc's cost is small beside their own work).
constexpr std::size_t kGranule = 64;
constexpr std::size_t kMaxPooled = 4096;
constexpr std::size_t kClasses = kMaxPooled / kGranule;
// Per class and thread. A chain of a few nested tasks needs one or two blocks per class; the
// margin covers several evaluations in flight on one worker.
constexpr std::size_t kMaxCachedPerClass = 32;

struct FreeBlock {
  FreeBlock* next;
};

struct FrameCache {
  std::array<FreeBlock*, kClasses> heads{};
  std::array<std::size_t, kClasses> counts{};
  std::size_t total = 0;

  ~FrameCache();
};

// A frame can be freed during thread exit, after this thread's cache was destroyed (a thread_local
// object destroyed later may own a task). This flag has no destructor, so it stays readable then.
thread_local bool cache_gone = false;
thread_local FrameCache cache;

std::size_t class_of(std::size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }

FrameCache::~FrameCache() {
  cache_gone = true;
  for (std::size_t c = 0; c < kClasses; ++c) {
    FreeBlock* b = heads[c];
    while (b != nullptr) {
      OSTREL_UNPOISON(b, (c + 1) * kGranule);
      FreeBlock* next = b->next;
      ::operator delete(static_cast<void*>(b), (c + 1) * kGranule);
      b = next;
    }
    heads[c] = nullptr;
  }
}

}  // namespace

void* frame_allocate(std::size_t size) {
  if (size == 0 || size > kMaxPooled) return ::operator new(size);
  const std::size_t c = class_of(size);
  if (cache_gone) return ::operator new((c + 1) * kGranule);
  FrameCache& fc = cache;
  if (FreeBlock* b = fc.heads[c]) {
    OSTREL_UNPOISON(b, (c + 1) * kGranule);
    fc.heads[c] = b->next;
    --fc.counts[c];
    --fc.total;
    return b;
  }
  // Allocate the whole class size so the block can serve any frame of its class later.
  return ::operator new((c + 1) * kGranule);
}

void frame_deallocate(void* block, std::size_t size) noexcept {
  if (block == nullptr) return;
  if (size == 0 || size > kMaxPooled) {
    ::operator delete(block, size);
    return;
  }
  const std::size_t c = class_of(size);
  if (cache_gone) {
    ::operator delete(block, (c + 1) * kGranule);
    return;
  }
  FrameCache& fc = cache;
  if (fc.counts[c] >= kMaxCachedPerClass) {
    ::operator delete(block, (c + 1) * kGranule);
    return;
  }
  auto* b = static_cast<FreeBlock*>(block);
  b->next = fc.heads[c];
  fc.heads[c] = b;
  ++fc.counts[c];
  ++fc.total;
  OSTREL_POISON(b, (c + 1) * kGranule);
  // The link itself must stay readable for the next allocation.
  OSTREL_UNPOISON(&b->next, sizeof(b->next));
}

std::size_t frame_cache_size() noexcept { return cache_gone ? 0 : cache.total; }

}  // namespace ostrel::runtime::detail
