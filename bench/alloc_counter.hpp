// Counts every heap allocation of a benchmark program, so a benchmark can report whether a path
// calls the allocator in its steady state. The replacement operators below are program-wide
// definitions: include this header from exactly one source file of a program (each benchmark is a
// single file). The aligned and nothrow forms are replaced too, because the standard library's own
// versions of those reach the allocator without passing through the plain operator new.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace ostrel::bench {

inline std::atomic<std::size_t> allocations{0};

namespace detail {

inline void* counted_alloc(std::size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

inline void* counted_aligned_alloc(std::size_t n, std::align_val_t al) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  const auto a = static_cast<std::size_t>(al);
  // aligned_alloc wants a size that is a multiple of the alignment.
  if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}

}  // namespace detail

}  // namespace ostrel::bench

void* operator new(std::size_t n) { return ostrel::bench::detail::counted_alloc(n); }
void* operator new[](std::size_t n) { return ostrel::bench::detail::counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ostrel::bench::allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t al) {
  return ostrel::bench::detail::counted_aligned_alloc(n, al);
}
void* operator new[](std::size_t n, std::align_val_t al) {
  return ostrel::bench::detail::counted_aligned_alloc(n, al);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
