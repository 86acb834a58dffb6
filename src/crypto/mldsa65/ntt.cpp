#include "crypto/mldsa65/ntt.hpp"

namespace ostrel::crypto::mldsa65 {
namespace {

// FIPS 204, Algorithm 43.
constexpr unsigned bit_rev8(unsigned m) {
  unsigned r = 0;
  for (int i = 0; i < 8; ++i) r |= ((m >> i) & 1u) << (7 - i);
  return r;
}

// zetas[m] = zeta^BitRev8(m) mod q (FIPS 204, Appendix B), stored times R and centred so that
// one Montgomery reduction of zetas[m] * w gives zeta^BitRev8(m) w with |.| < q.
constexpr std::array<std::int32_t, kN> make_zetas() {
  std::array<std::int32_t, kN> z{};
  for (unsigned m = 0; m < kN; ++m) {
    std::int64_t v = field::pow_mod(kZeta, bit_rev8(m)) * field::kMont % kQ;
    if (v > kQ / 2) v -= kQ;
    z[m] = static_cast<std::int32_t>(v);
  }
  return z;
}
constexpr auto kZetas = make_zetas();
// Appendix B of FIPS 204 starts with zetas[1] = zeta^128 = 4808194.
static_assert(field::pow_mod(kZeta, bit_rev8(1)) == 4808194);
// zeta has order 512: zeta^256 = -1.
static_assert(field::pow_mod(kZeta, 256) == kQ - 1);

// 256^-1 R^2 mod q: the final scaling of Algorithm 42 (f = 256^-1 = 8347681) with one factor
// of R to undo the Montgomery reduction applied to it and one to cancel multiply_ntt's R^-1.
constexpr std::int32_t make_inverse_scale() {
  std::int64_t f = field::pow_mod(256, kQ - 2);  // Fermat: 256^(q-2) = 256^-1
  f = f * field::kMont % kQ * field::kMont % kQ;
  return static_cast<std::int32_t>(f);
}
constexpr std::int32_t kInverseScale = make_inverse_scale();
static_assert(field::pow_mod(256, kQ - 2) == 8347681);

}  // namespace

void ntt(Poly& w) noexcept {
  // Steps 1-3 (copying w) are the in-place update.
  std::size_t m = 0;                                                      // step 4
  for (std::size_t len = 128; len >= 1; len >>= 1) {                      // steps 5-6, 18
    for (std::size_t start = 0; start < kN; start += 2 * len) {           // steps 7-8, 16
      const std::int64_t z = kZetas[++m];                                 // steps 9-10
      for (std::size_t j = start; j < start + len; ++j) {                 // step 11
        const std::int32_t t = field::montgomery_reduce(z * w[j + len]);  // step 12
        w[j + len] = w[j] - t;                                            // step 13
        w[j] = w[j] + t;                                                  // step 14
      }
    }
  }
}

void inverse_ntt(Poly& w) noexcept {
  // Each layer at most doubles the bound on the sums while the products stay below q, so
  // inputs below q keep every intermediate below 256 q < 2^31.
  std::size_t m = kN;                                                 // step 4
  for (std::size_t len = 1; len < kN; len <<= 1) {                    // steps 5-6, 18
    for (std::size_t start = 0; start < kN; start += 2 * len) {       // steps 7-8, 16
      const std::int64_t z = -kZetas[--m];                            // steps 9-10
      for (std::size_t j = start; j < start + len; ++j) {             // step 11
        const std::int32_t t = w[j];                                  // step 12
        w[j] = t + w[j + len];                                        // step 13
        w[j + len] = field::montgomery_reduce(z * (t - w[j + len]));  // steps 14-15
      }
    }
  }
  for (auto& c : w)
    c = field::montgomery_reduce(static_cast<std::int64_t>(kInverseScale) * c);  // steps 20-23
}

void multiply_ntt(const Poly& a, const Poly& b, Poly& c) noexcept {
  for (std::size_t i = 0; i < kN; ++i)
    c[i] = field::montgomery_reduce(static_cast<std::int64_t>(a[i]) * b[i]);
}

}  // namespace ostrel::crypto::mldsa65
