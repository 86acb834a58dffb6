#pragma once
// Marking of secret data for Valgrind memcheck, and the branch-free helpers the lattice code
// uses on it.
//
// Under memcheck, memory marked secret counts as uninitialised: any conditional jump or memory
// address computed from it is reported, which is exactly the set of timing leaks we must not
// have. Values the algorithm is allowed to reveal (public outputs, the outcome of a rejection
// test on a discarded candidate) are marked defined again at the one place they become public.
// Outside Valgrind the client requests cost a few instructions and do nothing.
#include <cstddef>
#include <cstdint>
#include <span>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define OSTREL_MLDSA65_MEMCHECK 1
#endif

namespace ostrel::crypto::mldsa65::ct {

inline void mark_secret(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_MLDSA65_MEMCHECK
  (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

inline void declassify(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_MLDSA65_MEMCHECK
  (void)VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

template <class T>
inline void mark_secret(const T& obj) noexcept {
  mark_secret(&obj, sizeof(T));
}
template <class T>
inline void declassify(const T& obj) noexcept {
  declassify(&obj, sizeof(T));
}

// Returns v with its definedness restored: for a single decision bit that may become public.
template <class T>
[[nodiscard]] inline T declassify_value(T v) noexcept {
  declassify(&v, sizeof v);
  return v;
}

// All-ones when x < 0, else zero; arithmetic shift, defined for int32_t since C++20.
[[nodiscard]] constexpr std::int32_t sign_mask(std::int32_t x) noexcept { return x >> 31; }

// |x| without a branch. x must not be INT32_MIN.
[[nodiscard]] constexpr std::int32_t abs(std::int32_t x) noexcept {
  const std::int32_t m = sign_mask(x);
  return (x ^ m) - m;
}

// 1 when a < b, else 0, for |a|, |b| < 2^30 (the difference cannot overflow).
[[nodiscard]] constexpr std::uint32_t less_than(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::uint32_t>(a - b) >> 31;
}

// 1 when a != b, else 0.
[[nodiscard]] constexpr std::uint32_t not_equal(std::uint32_t a, std::uint32_t b) noexcept {
  const std::uint32_t x = a ^ b;
  return (x | (0u - x)) >> 31;
}

}  // namespace ostrel::crypto::mldsa65::ct
