#pragma once
// Arithmetic in Z_q, q = 3329, on 16-bit signed coefficients. Montgomery multiplication with
// R = 2^16 and Barrett reduction use only multiplications, additions and shifts, so their
// running time never depends on the values.
#include <array>
#include <cstdint>

#include "crypto/mlkem768/params.hpp"

namespace ostrel::crypto::mlkem768 {

// q^-1 mod 2^16, as a signed 16-bit value: 3329 * 62209 = 1 + 3160 * 2^16.
inline constexpr std::int32_t kQInv = -3327;
static_assert((kQ * (kQInv + 65536)) % 65536 == 1);

// Returns t = a * 2^-16 mod q with -q < t < q, for -q * 2^15 <= a < q * 2^15.
[[nodiscard]] constexpr std::int16_t montgomery_reduce(std::int32_t a) noexcept {
  // m = a * q^-1 mod 2^16, so a - m * q is a multiple of 2^16.
  const auto m = static_cast<std::int16_t>(static_cast<std::int16_t>(a) * kQInv);
  return static_cast<std::int16_t>((a - static_cast<std::int32_t>(m) * kQ) >> 16);
}

// a * b * 2^-16 mod q, with |result| < q, for |a * b| <= q * 2^15.
[[nodiscard]] constexpr std::int16_t fqmul(std::int16_t a, std::int16_t b) noexcept {
  return montgomery_reduce(static_cast<std::int32_t>(a) * b);
}

// Barrett's floor(2^26 / q + 1/2) = 20159.
inline constexpr std::int32_t kBarrettV = ((1 << 26) + kQ / 2) / kQ;
static_assert(kBarrettV == 20159);

// The representative of a mod q in -(q-1)/2 .. (q-1)/2, for any 16-bit a.
[[nodiscard]] constexpr std::int16_t barrett_reduce(std::int16_t a) noexcept {
  const std::int32_t t = (kBarrettV * a + (1 << 25)) >> 26;
  return static_cast<std::int16_t>(a - t * kQ);
}

// a + q when a is negative, else a; for -q < a < q this gives the representative in 0 .. q-1.
[[nodiscard]] constexpr std::int16_t add_q_if_negative(std::int16_t a) noexcept {
  return static_cast<std::int16_t>(a + ((a >> 15) & kQ));
}

// a - q when a >= q, else a; for 0 <= a < 2q. Used to take 12-bit values mod q.
[[nodiscard]] constexpr std::int16_t sub_q_if_large(std::int16_t a) noexcept {
  return add_q_if_negative(static_cast<std::int16_t>(a - kQ));
}

// The representative in 0 .. q-1 of any 16-bit value.
[[nodiscard]] constexpr std::int16_t to_canonical(std::int16_t a) noexcept {
  return add_q_if_negative(barrett_reduce(a));
}

namespace detail {

constexpr std::int64_t pow_mod_q(std::int64_t base, unsigned e) {
  std::int64_t r = 1;
  for (unsigned i = 0; i < e; ++i) r = r * base % kQ;
  return r;
}

// BitRev7(i): the 7-bit reversal of i (FIPS 203, section 4.3).
constexpr unsigned bit_rev7(unsigned i) {
  unsigned r = 0;
  for (unsigned b = 0; b < 7; ++b) r |= ((i >> b) & 1u) << (6 - b);
  return r;
}

// x * 2^16 mod q, centred in -(q-1)/2 .. (q-1)/2: the Montgomery form that fqmul expects.
constexpr std::int16_t to_montgomery(std::int64_t x) {
  std::int64_t m = (x % kQ + kQ) % kQ * 65536 % kQ;
  if (m > kQ / 2) m -= kQ;
  return static_cast<std::int16_t>(m);
}

}  // namespace detail

// zeta = 17 is a primitive 256th root of unity mod q (FIPS 203, section 4.3).
inline constexpr std::int64_t kZeta = 17;
static_assert(detail::pow_mod_q(kZeta, 128) == kQ - 1, "17^128 = -1, so 17 has order 256");

// zeta^BitRev7(i) for i = 0..127 in Montgomery form: the twiddles of NTT and NTT^-1
// (FIPS 203, Algorithms 9 and 10).
inline constexpr std::array<std::int16_t, 128> kZetas = [] {
  std::array<std::int16_t, 128> z{};
  for (unsigned i = 0; i < 128; ++i)
    z[i] = detail::to_montgomery(detail::pow_mod_q(kZeta, detail::bit_rev7(i)));
  return z;
}();

// zeta^(2 BitRev7(i) + 1) for i = 0..127 in Montgomery form: the gamma of each degree-one
// product in MultiplyNTTs (FIPS 203, Algorithm 11, and equation 4.13).
inline constexpr std::array<std::int16_t, 128> kGammas = [] {
  std::array<std::int16_t, 128> g{};
  for (unsigned i = 0; i < 128; ++i)
    g[i] = detail::to_montgomery(detail::pow_mod_q(kZeta, 2 * detail::bit_rev7(i) + 1));
  return g;
}();

// 2^32 mod q, centred: fqmul(x, kMont2) = x * 2^16 mod q converts into Montgomery form, which
// undoes the 2^-16 that MultiplyNTTs leaves in its products.
inline constexpr std::int16_t kMont2 = detail::to_montgomery(65536);

// The final scaling of NTT^-1, 128^-1 = 3303 mod q (FIPS 203, Algorithm 10, step 14), times
// 2^32 so that fqmul by it also removes the 2^-16 left by MultiplyNTTs and returns to the
// plain domain.
inline constexpr std::int16_t kInvNttScale = detail::to_montgomery(detail::to_montgomery(3303));
static_assert(detail::pow_mod_q(128, 1) * 3303 % kQ == 1);

}  // namespace ostrel::crypto::mlkem768
