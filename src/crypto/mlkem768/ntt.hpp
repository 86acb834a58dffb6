#pragma once
// The number-theoretic transform of R_q and multiplication in its image (FIPS 203,
// section 4.3).
#include <span>

#include "crypto/mlkem768/poly.hpp"

namespace ostrel::crypto::mlkem768 {

// NTT(f) in place (FIPS 203, Algorithm 9). Input |c| < q; output centred, |c| <= (q-1)/2.
void ntt(Poly& f) noexcept;

// NTT^-1 in place (FIPS 203, Algorithm 10), taking a product of multiply_ntts_acc (which
// carries a factor 2^-16) back to the plain domain. Input |c| < q; output |c| < q.
void inv_ntt(Poly& f) noexcept;

// r = sum over j of a[j] x b[j] in T_q (FIPS 203, Algorithm 11 with Algorithm 12, summed as
// in steps 19 and 21 of Algorithm 13), times 2^-16. Inputs |c| < q; output |c| < q.
void multiply_ntts_acc(Poly& r, std::span<const Poly* const, kK> a,
                       std::span<const Poly* const, kK> b) noexcept;

}  // namespace ostrel::crypto::mlkem768
