#pragma once
// FIPS 204, section 7.3: pseudorandom sampling of the matrix, the secret vectors, the masking
// vector and the challenge.
#include <cstdint>
#include <span>

#include "crypto/mldsa65/field.hpp"

namespace ostrel::crypto::mldsa65 {

// FIPS 204, Algorithm 32: A-hat, entries uniform in [0, q), already in the NTT domain.
void expand_a(std::span<const std::uint8_t, kRhoBytes> rho, PolyMatrix& a_hat);

// FIPS 204, Algorithm 33: s1, s2 with coefficients in [-eta, eta]. rho_prime is secret.
void expand_s(std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime, PolyVecL& s1, PolyVecK& s2);

// FIPS 204, Algorithm 34: y with coefficients in [-gamma1 + 1, gamma1]. kappa + l - 1 must fit
// in 16 bits.
void expand_mask(std::span<const std::uint8_t, kRhoPrimePrimeBytes> rho_pp, std::uint16_t kappa, PolyVecL& y);

// FIPS 204, Algorithm 29: c with tau coefficients in {-1, 1}, the rest 0. While signing,
// c~ of a candidate that may still be rejected is secret, so the shuffle touches every
// position it could have touched; verification's c~ is public and takes the direct way.
enum class Challenge { Secret, Public };
void sample_in_ball(std::span<const std::uint8_t, kCTildeBytes> c_tilde, Poly& c, Challenge secrecy);

}  // namespace ostrel::crypto::mldsa65
