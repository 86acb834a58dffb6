#pragma once
// Arithmetic in Z_q and the polynomial types of ML-DSA-65. Everything here is branch-free so it
// may run on secret coefficients.
#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/mldsa65/params.hpp"

namespace ostrel::crypto::mldsa65 {

// A polynomial of R_q or T_q: 256 coefficients, each a representative of its class modulo q
// whose range each function states.
using Poly = std::array<std::int32_t, kN>;
template <std::size_t N>
using PolyVec = std::array<Poly, N>;
using PolyVecL = PolyVec<kL>;
using PolyVecK = PolyVec<kK>;
using PolyMatrix = std::array<PolyVecL, kK>;  // A-hat, k rows of l entries

namespace field {

// q^-1 mod 2^32 by Newton's iteration x <- x (2 - q x): q is odd, so x = q is already an
// inverse modulo 8, and each step doubles the number of correct low bits (3, 6, 12, 24, 48).
constexpr std::uint32_t inverse_mod_2_32(std::uint32_t a) {
  std::uint32_t x = a;
  for (int i = 0; i < 4; ++i) x *= 2u - a * x;
  return x;
}
inline constexpr std::uint32_t kQInv = inverse_mod_2_32(static_cast<std::uint32_t>(kQ));
static_assert(kQInv * static_cast<std::uint32_t>(kQ) == 1u);
static_assert(kQInv == 58728449u);

// FIPS 204, Algorithm 49 (MontgomeryReduce) with R = 2^32: for |a| < 2^31 q returns
// r = a R^-1 mod q with |r| < q. The subtraction makes the low 32 bits zero, so the shift is
// exact; |a - t q| < 2^31 q + 2^31 q bounds |r| by q.
[[nodiscard]] constexpr std::int32_t montgomery_reduce(std::int64_t a) noexcept {
  const auto t = static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * kQInv);
  return static_cast<std::int32_t>((a - static_cast<std::int64_t>(t) * kQ) >> 32);
}

// For |a| <= 2^31 - 2^22 - 1 returns r = a mod q with |r| <= 6283008 < q. With t the nearest
// multiple count of 2^23, a - t q = (a - t 2^23) + t (2^13 - 1): the first part lies in
// [-2^22, 2^22) and |t| <= 2^8 keeps the second below 2^21.
[[nodiscard]] constexpr std::int32_t reduce32(std::int32_t a) noexcept {
  const std::int32_t t = (a + (1 << 22)) >> 23;
  return a - t * kQ;
}

// Maps (-q, q) to [0, q).
[[nodiscard]] constexpr std::int32_t caddq(std::int32_t a) noexcept { return a + ((a >> 31) & kQ); }

// The representative in [0, q) of any a in the domain of reduce32.
[[nodiscard]] constexpr std::int32_t freeze(std::int32_t a) noexcept { return caddq(reduce32(a)); }

// The centred representative in [-(q-1)/2, (q-1)/2] of a in (-q, q).
[[nodiscard]] constexpr std::int32_t centre(std::int32_t a) noexcept {
  a = caddq(a);
  // Subtract q when a > (q-1)/2: the difference is negative exactly then.
  return a - (((kQ - 1) / 2 - a) >> 31 & kQ);
}

// R^k mod q, as the Montgomery constants below need.
constexpr std::int64_t pow_mod(std::int64_t base, std::uint64_t e) {
  std::int64_t r = 1;
  base %= kQ;
  if (base < 0) base += kQ;
  while (e != 0) {
    if (e & 1) r = r * base % kQ;
    base = base * base % kQ;
    e >>= 1;
  }
  return r;
}
inline constexpr std::int64_t kMont = (std::int64_t{1} << 32) % kQ;  // R mod q

}  // namespace field
}  // namespace ostrel::crypto::mldsa65
