#pragma once
// Branch-free helpers for secret data, and its marking for Valgrind memcheck.
//
// Under memcheck, memory marked secret counts as uninitialised, so any conditional jump or
// address computed from it is reported: exactly the timing leaks this code must not have.
// Values that may become public (the encapsulation key, a ciphertext, the returned shared
// secret, which is the caller's business from then on) are marked defined where they do.
// Outside Valgrind the client requests cost a few instructions and do nothing.
#include <cstddef>
#include <cstdint>
#include <span>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define OSTREL_MLKEM768_MEMCHECK 1
#endif

namespace ostrel::crypto::mlkem768::ct {

inline void mark_secret(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_MLKEM768_MEMCHECK
  (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#else
  (void)p;
  (void)n;
#endif
}

inline void declassify(const void* p, std::size_t n) noexcept {
#ifdef OSTREL_MLKEM768_MEMCHECK
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

// Hides a value from the optimiser, so that it cannot prove a mask is all-zero or all-one and
// turn a masked select back into a branch.
[[nodiscard]] inline std::uint8_t value_barrier(std::uint8_t x) noexcept {
  __asm__("" : "+r"(x));
  return x;
}

// 0xFF when a and b differ anywhere, else 0x00, reading every byte whatever the contents.
template <std::size_t N>
[[nodiscard]] inline std::uint8_t differ_mask(std::span<const std::uint8_t, N> a,
                                              std::span<const std::uint8_t, N> b) noexcept {
  std::uint8_t acc = 0;
  for (std::size_t i = 0; i < N; ++i) acc |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  // acc != 0 exactly when the top bit of (0 - acc) as a 16-bit value is set.
  const auto wide = static_cast<std::uint16_t>(0u - static_cast<std::uint16_t>(value_barrier(acc)));
  return static_cast<std::uint8_t>(0u - static_cast<unsigned>(wide >> 15));
}

// dst = mask ? src : dst, byte by byte, for mask 0x00 or 0xFF.
template <std::size_t N>
inline void cmov(std::span<std::uint8_t, N> dst, std::span<const std::uint8_t, N> src,
                 std::uint8_t mask) noexcept {
  const std::uint8_t m = value_barrier(mask);
  for (std::size_t i = 0; i < N; ++i) dst[i] ^= static_cast<std::uint8_t>(m & (dst[i] ^ src[i]));
}

}  // namespace ostrel::crypto::mlkem768::ct
