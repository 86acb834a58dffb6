#pragma once
// Sampling of polynomials (FIPS 203, section 4.2.2).
#include <cstdint>
#include <span>

#include "crypto/mlkem768/poly.hpp"

namespace ostrel::crypto::mlkem768 {

// A_hat[i][j] = SampleNTT(rho || j || i) (FIPS 203, Algorithm 7, as called in Algorithm 13
// steps 3-7). Rejection sampling on public data: its running time depends on rho only.
// Output coefficients in 0 .. q-1.
void sample_ntt(Poly& out, std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j,
                std::uint8_t i) noexcept;

// SamplePolyCBD_2(PRF_2(s, n)) (FIPS 203, Algorithm 8 with eta = 2, and equation 4.3).
// Branch-free on the secret seed; the PRF output is wiped. Output |c| <= 2.
void sample_cbd_prf(Poly& out, std::span<const std::uint8_t, kSymBytes> s, std::uint8_t n) noexcept;

// SamplePolyCBD_2(B) for a 128-byte B (FIPS 203, Algorithm 8).
void sample_cbd2(Poly& out, std::span<const std::uint8_t, kCbdBytes> b) noexcept;

}  // namespace ostrel::crypto::mlkem768
