#pragma once
// Comparisons of secret data whose running time depends only on the lengths involved, never
// on the contents, so that a mismatch position cannot be learnt from timing.
#include <cstddef>
#include <cstdint>
#include <span>

#include <openssl/crypto.h>

namespace ostrel::crypto {

// Lengths are treated as public: unequal lengths return false at once.
[[nodiscard]] inline bool ct_equal(std::span<const std::uint8_t> a,
                                   std::span<const std::uint8_t> b) noexcept {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

[[nodiscard]] inline bool ct_is_zero(std::span<const std::uint8_t> a) noexcept {
  std::uint8_t acc = 0;
  for (std::uint8_t b : a) acc |= b;
  // Read through a volatile so the compiler cannot turn the loop into an early exit.
  volatile std::uint8_t result = acc;
  return result == 0;
}

}  // namespace ostrel::crypto
