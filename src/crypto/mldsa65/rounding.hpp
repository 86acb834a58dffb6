#pragma once
// FIPS 204, section 7.4: Power2Round, Decompose, HighBits, LowBits, MakeHint and UseHint for
// ML-DSA-65 (d = 13, gamma2 = (q-1)/32). All but UseHint run on secret values while signing,
// so they use shifts and multiplications only: no division (which some compilers emit as a
// variable-time instruction), no comparison that could become a branch.
#include <cstdint>

#include "crypto/mldsa65/params.hpp"

namespace ostrel::crypto::mldsa65 {

struct Split {
  std::int32_t high;
  std::int32_t low;
};

// FIPS 204, Algorithm 35, for r in [0, q) (step 1's reduction is the caller's). Step 2 takes
// the representative of r mod 2^d in (-2^(d-1), 2^(d-1)]; adding 2^(d-1) - 1 before the shift
// makes the quotient round half down, which is that choice of representative.
[[nodiscard]] constexpr Split power2round(std::int32_t r) noexcept {
  const std::int32_t r1 = (r + (1 << (kD - 1)) - 1) >> kD;
  return {r1, r - (r1 << kD)};
}

// FIPS 204, Algorithm 36, for r in [0, q).
//
// Steps 2-3 pick r0 in (-gamma2, gamma2] with r = r1 * 2 gamma2 + r0, i.e.
// r1 = floor((r + gamma2 - 1) / (2 gamma2)). With 2 gamma2 = 523776 = 2^9 * 1023, that is
// floor(y / 1023) for y = (r + gamma2 - 1) >> 9 < 2^15, computed as (1025 y + 512) >> 20:
// 1025 * 1023 = 2^20 - 1, so 1025 y + 512 = 2^20 m + (1025 s + 512 - m) for y = 1023 m + s,
// and 0 <= 1025 s + 512 - m < 2^20 whenever s <= 1022 and m <= 16.
// Steps 4-6: r1 = 16 only when r > q - 1 - gamma2; then r1 becomes 0 and r0 = r - q.
[[nodiscard]] constexpr Split decompose(std::int32_t r) noexcept {
  const std::int32_t y = (r + kGamma2 - 1) >> 9;
  std::int32_t r1 = (1025 * y + 512) >> 20;
  r1 &= kHighBitsRange - 1;
  std::int32_t r0 = r - r1 * 2 * kGamma2;
  // r0 > gamma2 only in the wrapped case: move it down by q.
  r0 -= ((kGamma2 - r0) >> 31) & kQ;
  return {r1, r0};
}

// FIPS 204, Algorithm 37.
[[nodiscard]] constexpr std::int32_t high_bits(std::int32_t r) noexcept { return decompose(r).high; }

// FIPS 204, Algorithm 38.
[[nodiscard]] constexpr std::int32_t low_bits(std::int32_t r) noexcept { return decompose(r).low; }

// FIPS 204, Algorithm 39, given r and r + z already reduced into [0, q): 1 when adding z
// changes the high bits.
[[nodiscard]] constexpr std::int32_t make_hint(std::int32_t r_plus_z, std::int32_t r) noexcept {
  const auto diff = static_cast<std::uint32_t>(high_bits(r_plus_z) ^ high_bits(r));
  return static_cast<std::int32_t>((diff | (0u - diff)) >> 31);
}

// FIPS 204, Algorithm 40, for r in [0, q) and h in {0, 1}. Only verification calls it, on
// public values.
[[nodiscard]] constexpr std::int32_t use_hint(std::int32_t h, std::int32_t r) noexcept {
  const Split s = decompose(r);                                         // step 2
  if (h == 1 && s.low > 0) return (s.high + 1) & (kHighBitsRange - 1);  // step 3
  if (h == 1) return (s.high - 1) & (kHighBitsRange - 1);               // step 4
  return s.high;                                                        // step 5
}

}  // namespace ostrel::crypto::mldsa65
