#pragma once
// ByteEncode/ByteDecode (FIPS 203, Algorithms 5 and 6) and Compress/Decompress (section 4.2.1).
// All of them are free of branches and table look-ups on coefficient values: they run on
// secret data in key generation, encryption and decryption.
#include <cstdint>
#include <span>

#include "crypto/mlkem768/poly.hpp"

namespace ostrel::crypto::mlkem768 {

// Compress_d(x) = round(2^d x / q) mod 2^d for x in 0 .. q-1 (FIPS 203, equation 4.7). The
// quotient by q is a multiplication by M = ceil(2^44 / q) and a shift, exact for every
// numerator below 2^23 (the error term N (Mq - 2^44) / (q 2^44) stays below 1/q), so no
// division instruction, whose timing may depend on its operands, ever sees a coefficient.
template <unsigned D>
[[nodiscard]] constexpr std::uint16_t compress(std::int16_t x) noexcept {
  static_assert(D >= 1 && D <= 11);
  constexpr std::uint64_t kM = ((std::uint64_t{1} << 44) + kQ - 1) / kQ;
  // round(y / q) = floor((y + (q-1)/2) / q), there being no ties for odd q.
  const std::uint64_t n = (static_cast<std::uint64_t>(static_cast<std::uint16_t>(x)) << D) + (kQ - 1) / 2;
  return static_cast<std::uint16_t>(((n * kM) >> 44) & ((1u << D) - 1));
}

// Decompress_d(y) = round(q y / 2^d) (FIPS 203, equation 4.8), halves rounded up.
template <unsigned D>
[[nodiscard]] constexpr std::int16_t decompress(std::uint16_t y) noexcept {
  return static_cast<std::int16_t>((static_cast<std::uint32_t>(y) * kQ + (1u << (D - 1))) >> D);
}

// ByteEncode_12 of canonical coefficients (0 .. q-1).
void byte_encode12(std::span<std::uint8_t, kPolyBytes> out, const Poly& a) noexcept;

// ByteDecode_12, reducing each 12-bit value mod q as the standard defines it. Branch-free:
// used on the secret s_hat.
void byte_decode12(Poly& out, std::span<const std::uint8_t, kPolyBytes> in) noexcept;

// ByteDecode_12 without reduction, reporting whether every value was already below q: the
// modulus check of FIPS 203, section 7.2, on public keys. On false `out` is unspecified.
[[nodiscard]] bool byte_decode12_reduced(Poly& out, std::span<const std::uint8_t, kPolyBytes> in) noexcept;

// ByteEncode_du(Compress_du(u)) and its inverse (FIPS 203, Algorithm 14 step 22, Algorithm 15
// step 3). Compression takes canonical coefficients.
void compress_du(std::span<std::uint8_t, kCompressedUBytes> out, const Poly& a) noexcept;
void decompress_du(Poly& out, std::span<const std::uint8_t, kCompressedUBytes> in) noexcept;

// ByteEncode_dv(Compress_dv(v)) and its inverse (Algorithm 14 step 23, Algorithm 15 step 4).
void compress_dv(std::span<std::uint8_t, kCompressedVBytes> out, const Poly& a) noexcept;
void decompress_dv(Poly& out, std::span<const std::uint8_t, kCompressedVBytes> in) noexcept;

// Decompress_1(ByteDecode_1(m)) (Algorithm 14, step 20).
void message_to_poly(Poly& out, std::span<const std::uint8_t, kMessageBytes> m) noexcept;
// ByteEncode_1(Compress_1(w)) of canonical coefficients (Algorithm 15, step 7).
void poly_to_message(std::span<std::uint8_t, kMessageBytes> m, const Poly& w) noexcept;

}  // namespace ostrel::crypto::mlkem768
