#pragma once
// Storage for coroutine frames. The gate's hot path creates and destroys a handful of frames per
// evaluation; recycling them per thread keeps that path away from malloc in the steady state.
#include <cstddef>

namespace ostrel::runtime::detail {

// Blocks come from a per-thread cache of recently freed blocks of the same size class, or from
// ::operator new. A block may be freed on another thread than the one that allocated it (a task
// that suspends often finishes on a worker); it then joins that thread's cache. Each cache is
// bounded, so memory that wanders between threads is given back rather than hoarded.
[[nodiscard]] void* frame_allocate(std::size_t size);
void frame_deallocate(void* block, std::size_t size) noexcept;

// Number of blocks this thread's cache currently holds, for tests.
std::size_t frame_cache_size() noexcept;

}  // namespace ostrel::runtime::detail
