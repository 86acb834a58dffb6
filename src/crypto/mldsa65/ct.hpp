#pragma once
// Branch-free helpers the ML-DSA-65 code uses on secret data, beside the shared memcheck marking.
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/secret_marking.hpp"

namespace ostrel::crypto::mldsa65::ct {

using crypto::ct::declassify;
using crypto::ct::declassify_value;
using crypto::ct::mark_secret;
using crypto::ct::value_barrier;

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
