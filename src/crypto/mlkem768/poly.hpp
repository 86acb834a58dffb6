#pragma once
// Polynomials of R_q = Z_q[X]/(X^256 + 1) and vectors of them. Coefficients are int16: in the
// plain or NTT domain as the algorithm says, reduced as each function states.
#include <array>
#include <cstddef>
#include <cstdint>

#include "crypto/mlkem768/arith.hpp"
#include "crypto/mlkem768/params.hpp"

namespace ostrel::crypto::mlkem768 {

struct Poly {
  std::array<std::int16_t, kN> c;
};

using PolyVec = std::array<Poly, kK>;
// The matrix A_hat, row-major: element (i, j) at index kK * i + j (FIPS 203, Algorithm 13).
using PolyMatrix = std::array<Poly, kK * kK>;

inline void poly_add(Poly& r, const Poly& a) noexcept {
  for (std::size_t i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] + a.c[i]);
}

inline void poly_sub(Poly& r, const Poly& a) noexcept {
  for (std::size_t i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(r.c[i] - a.c[i]);
}

// Every coefficient to its centred representative (|c| <= (q-1)/2).
inline void poly_reduce(Poly& r) noexcept {
  for (auto& x : r.c) x = barrett_reduce(x);
}

// Every coefficient to its representative in 0 .. q-1, as ByteEncode_12 and Compress need.
inline void poly_canonical(Poly& r) noexcept {
  for (auto& x : r.c) x = to_canonical(x);
}

// Multiplies by 2^16 mod q (into Montgomery form), reducing to |c| < q.
inline void poly_to_montgomery(Poly& r) noexcept {
  for (auto& x : r.c) x = fqmul(x, kMont2);
}

}  // namespace ostrel::crypto::mlkem768
