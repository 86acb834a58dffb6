#pragma once
// The number-theoretic transform of R_q (FIPS 204, section 7.5), in Montgomery arithmetic.
//
// Domain convention: polynomials in T_q are kept in the plain domain. multiply_ntt leaves its
// product scaled by R^-1 (R = 2^32), and inverse_ntt multiplies by R, so the pair yields the
// exact product; no other function changes the scale.
#include "crypto/mldsa65/field.hpp"

namespace ostrel::crypto::mldsa65 {

// FIPS 204, Algorithm 41. Input |w_i| < B gives output |w_i| < B + 8q.
void ntt(Poly& w) noexcept;

// FIPS 204, Algorithm 42, times R. Input |w_i| < q gives output |w_i| < q.
void inverse_ntt(Poly& w) noexcept;

// FIPS 204, Algorithm 45, times R^-1: c = a o b R^-1 with |c_i| < q, for |a_i b_i| < 2^31 q.
void multiply_ntt(const Poly& a, const Poly& b, Poly& c) noexcept;

// Sum over j of a[j] o b[j], times R^-1, accumulated in 64 bits and reduced once (the inner
// product of Algorithm 48). Needs sum_j |a[j]_i b[j]_i| < 2^31 q; output |c_i| < q.
template <std::size_t N>
void inner_product_ntt(const PolyVec<N>& a, const PolyVec<N>& b, Poly& c) noexcept {
  for (std::size_t i = 0; i < kN; ++i) {
    std::int64_t acc = 0;
    for (std::size_t j = 0; j < N; ++j) acc += static_cast<std::int64_t>(a[j][i]) * b[j][i];
    c[i] = field::montgomery_reduce(acc);
  }
}

}  // namespace ostrel::crypto::mldsa65
