#include "crypto/mlkem768/ntt.hpp"

namespace ostrel::crypto::mlkem768 {

// FIPS 203, Algorithm 9. Each layer adds at most q to a coefficient's magnitude, so seven
// layers on inputs below q stay below 8q < 2^15 without intermediate reduction.
void ntt(Poly& f) noexcept {
  std::size_t i = 1;                                             // step 1
  for (std::size_t len = 128; len >= 2; len /= 2) {              // step 2
    for (std::size_t start = 0; start < kN; start += 2 * len) {  // step 3
      const std::int16_t zeta = kZetas[i++];                     // steps 4-5
      for (std::size_t j = start; j < start + len; ++j) {        // step 6
        const std::int16_t t = fqmul(zeta, f.c[j + len]);        // step 7
        f.c[j + len] = static_cast<std::int16_t>(f.c[j] - t);    // step 8
        f.c[j] = static_cast<std::int16_t>(f.c[j] + t);          // step 9
      }
    }
  }
  poly_reduce(f);
}

// FIPS 203, Algorithm 10. The sums are reduced at every layer (they would otherwise double
// each time); the differences are reduced by their multiplication with zeta.
void inv_ntt(Poly& f) noexcept {
  std::size_t i = 127;                                                            // step 1
  for (std::size_t len = 2; len <= 128; len *= 2) {                               // step 2
    for (std::size_t start = 0; start < kN; start += 2 * len) {                   // step 3
      const std::int16_t zeta = kZetas[i--];                                      // steps 4-5
      for (std::size_t j = start; j < start + len; ++j) {                         // step 6
        const std::int16_t t = f.c[j];                                            // step 7
        f.c[j] = barrett_reduce(static_cast<std::int16_t>(t + f.c[j + len]));     // step 8
        f.c[j + len] = fqmul(zeta, static_cast<std::int16_t>(f.c[j + len] - t));  // step 9
      }
    }
  }
  for (auto& x : f.c) x = fqmul(x, kInvNttScale);  // step 14, with the 2^16 correction
}

// FIPS 203, Algorithms 11 and 12, summed over the k products before one Montgomery reduction:
// every product term is below q^2 in magnitude, so the sum of 2k of them stays within the
// range of montgomery_reduce (2k q^2 < q 2^15).
void multiply_ntts_acc(Poly& r, std::span<const Poly* const, kK> a,
                       std::span<const Poly* const, kK> b) noexcept {
  static_assert(2 * kK * kQ * kQ < kQ * (1 << 15));
  for (std::size_t i = 0; i < kN / 2; ++i) {
    std::int32_t c0 = 0;
    std::int32_t c1 = 0;
    for (std::size_t j = 0; j < kK; ++j) {
      const std::int16_t a0 = a[j]->c[2 * i], a1 = a[j]->c[2 * i + 1];
      const std::int16_t b0 = b[j]->c[2 * i], b1 = b[j]->c[2 * i + 1];
      // Algorithm 12: c0 = a0 b0 + a1 b1 gamma, c1 = a0 b1 + a1 b0.
      c0 += static_cast<std::int32_t>(a0) * b0 + static_cast<std::int32_t>(fqmul(a1, b1)) * kGammas[i];
      c1 += static_cast<std::int32_t>(a0) * b1 + static_cast<std::int32_t>(a1) * b0;
    }
    r.c[2 * i] = montgomery_reduce(c0);
    r.c[2 * i + 1] = montgomery_reduce(c1);
  }
}

}  // namespace ostrel::crypto::mlkem768
