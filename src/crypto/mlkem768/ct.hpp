#pragma once
// Branch-free helpers the ML-KEM-768 code uses on secret data, beside the shared memcheck marking.
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/secret_marking.hpp"

namespace ostrel::crypto::mlkem768::ct {

using crypto::ct::declassify;
using crypto::ct::declassify_value;
using crypto::ct::mark_secret;
using crypto::ct::value_barrier;

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
