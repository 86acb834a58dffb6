#pragma once
// Marking of secret data for Valgrind memcheck, shared by the lattice schemes.
//
// Under memcheck, memory marked secret counts as uninitialised: any conditional jump or memory
// address computed from it is reported, which is exactly the set of timing leaks the lattice
// code must not have. Values an algorithm is allowed to reveal (public outputs, the outcome of
// a rejection test on a discarded candidate) are marked defined again at the one place they
// become public. Outside Valgrind the client requests cost a few instructions and do nothing.
#include <cstddef>
#include <cstdint>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define OSTREL_CRYPTO_MEMCHECK 1
#endif

namespace ostrel::crypto::ct {

inline void mark_secret(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_CRYPTO_MEMCHECK
  (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

inline void declassify(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_CRYPTO_MEMCHECK
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

// Hides a value from the optimiser, so that it cannot prove a mask is all-zero or all-one and
// turn a masked select back into a branch.
[[nodiscard]] inline std::uint8_t value_barrier(std::uint8_t x) noexcept {
  __asm__("" : "+r"(x));
  return x;
}

}  // namespace ostrel::crypto::ct
