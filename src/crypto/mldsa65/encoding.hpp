#pragma once
// FIPS 204, sections 7.1 and 7.2: bit packing of polynomials, and the encodings of public
// keys, secret keys, signatures and w1.
#include <cstdint>
#include <span>

#include "crypto/mldsa65/field.hpp"

namespace ostrel::crypto::mldsa65 {

using PublicKeySpan = std::span<std::uint8_t, kPublicKeyBytes>;
using SecretKeySpan = std::span<std::uint8_t, kSecretKeyBytes>;
using SignatureSpan = std::span<std::uint8_t, kSignatureBytes>;

// The fields of a key pair, in the plain (not NTT) domain: what skEncode and pkEncode take.
struct KeyParts {
  std::array<std::uint8_t, kRhoBytes> rho;
  std::array<std::uint8_t, kKeyBytes> key;  // K
  std::array<std::uint8_t, kTrBytes> tr;
  PolyVecL s1;
  PolyVecK s2;
  PolyVecK t0;
  PolyVecK t1;
};

// FIPS 204, Algorithm 22: t1 coefficients in [0, 2^10).
void pk_encode(std::span<const std::uint8_t, kRhoBytes> rho, const PolyVecK& t1, PublicKeySpan out) noexcept;
// FIPS 204, Algorithm 23: every byte string of the right length decodes.
void pk_decode(std::span<const std::uint8_t, kPublicKeyBytes> pk, std::span<std::uint8_t, kRhoBytes> rho,
               PolyVecK& t1) noexcept;

// FIPS 204, Algorithm 24: s1, s2 in [-eta, eta], t0 in [-2^12 + 1, 2^12].
void sk_encode(const KeyParts& parts, SecretKeySpan out) noexcept;
// FIPS 204, Algorithm 25, filling rho, K, tr, s1, s2, t0 of `parts`. A 4-bit field above 2 eta
// would decode to a coefficient below -eta, which no key generation produces and which
// signing must never see; the result is false then. Runs in constant time, since the fields
// are secret; only the verdict is declassified.
[[nodiscard]] bool sk_decode(std::span<const std::uint8_t, kSecretKeyBytes> sk, KeyParts& parts) noexcept;

// FIPS 204, Algorithm 26: z in [-gamma1 + 1, gamma1], h of 0/1 coefficients with at most
// omega ones.
void sig_encode(std::span<const std::uint8_t, kCTildeBytes> c_tilde, const PolyVecL& z, const PolyVecK& h,
                SignatureSpan out) noexcept;
// FIPS 204, Algorithm 27 with Algorithm 21: false when the hint encoding is malformed
// (indices not strictly increasing within a polynomial, a count above omega or below the
// previous count, non-zero padding).
[[nodiscard]] bool sig_decode(std::span<const std::uint8_t, kSignatureBytes> sig,
                              std::span<std::uint8_t, kCTildeBytes> c_tilde, PolyVecL& z,
                              PolyVecK& h) noexcept;

// FIPS 204, Algorithm 28: w1 coefficients in [0, 16).
void w1_encode(const PolyVecK& w1, std::span<std::uint8_t, kW1EncodedBytes> out) noexcept;

}  // namespace ostrel::crypto::mldsa65
