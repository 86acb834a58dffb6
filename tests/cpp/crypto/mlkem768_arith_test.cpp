// The arithmetic under ML-KEM-768 checked against plain integer definitions: the branch-free
// compression against exact rounding, NTT-domain products against schoolbook multiplication
// in Z_q[X]/(X^256 + 1), and the reductions over their whole input ranges.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "crypto/mlkem768/arith.hpp"
#include "crypto/mlkem768/encode.hpp"
#include "crypto/mlkem768/ntt.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

std::int32_t mod_q(std::int64_t x) { return static_cast<std::int32_t>(((x % kQ) + kQ) % kQ); }

template <unsigned D>
void check_compression() {
  for (std::int32_t x = 0; x < kQ; ++x) {
    // round(2^d x / q) = floor((2^(d+1) x + q) / 2q), in exact integers.
    const auto expected =
        static_cast<std::uint16_t>(((std::int64_t{x} << (D + 1)) + kQ) / (2 * kQ) % (1 << D));
    ASSERT_EQ(compress<D>(static_cast<std::int16_t>(x)), expected) << "d=" << D << " x=" << x;
  }
  for (std::uint32_t y = 0; y < (1u << D); ++y) {
    const auto expected = static_cast<std::int16_t>((std::int64_t{y} * kQ * 2 + (1 << D)) / (2 << D));
    ASSERT_EQ(decompress<D>(static_cast<std::uint16_t>(y)), expected) << "d=" << D << " y=" << y;
    // Decompression then compression is the identity (FIPS 203, section 4.2.1).
    ASSERT_EQ(compress<D>(decompress<D>(static_cast<std::uint16_t>(y))), y);
  }
}

TEST(MlKem768Arith, CompressionMatchesExactRoundingForEveryInput) {
  check_compression<1>();
  check_compression<4>();
  check_compression<10>();
  check_compression<11>();
}

TEST(MlKem768Arith, ReductionsOverTheirWholeRanges) {
  for (std::int32_t a = INT16_MIN; a <= INT16_MAX; ++a) {
    const auto r = barrett_reduce(static_cast<std::int16_t>(a));
    ASSERT_EQ(mod_q(r), mod_q(a)) << a;
    ASSERT_LE(std::abs(r), (kQ - 1) / 2) << a;
    const auto c = to_canonical(static_cast<std::int16_t>(a));
    ASSERT_EQ(c, mod_q(a)) << a;
  }
  // montgomery_reduce: a * 2^-16 mod q with |result| < q, at the edges of its range and
  // through the middle.
  const std::int64_t r_inv = 169;  // 2^16 * 169 = 1 + 3327 * 3329
  ASSERT_EQ(mod_q(65536 * r_inv), 1);
  std::mt19937 rng(1);
  std::uniform_int_distribution<std::int32_t> dist(-kQ * (1 << 15), kQ * (1 << 15) - 1);
  for (int i = 0; i < 200000; ++i) {
    const std::int32_t a = i == 0 ? -kQ * (1 << 15) : i == 1 ? kQ * (1 << 15) - 1 : dist(rng);
    const auto t = montgomery_reduce(a);
    ASSERT_LT(std::abs(t), kQ) << a;
    ASSERT_EQ(mod_q(t), mod_q(std::int64_t{a} * r_inv)) << a;
  }
}

// sum_j a_j * b_j in Z_q[X]/(X^256 + 1), the slow way.
Poly schoolbook_sum(const PolyVec& a, const PolyVec& b) {
  std::array<std::int64_t, kN> acc{};
  for (std::size_t j = 0; j < kK; ++j)
    for (std::size_t x = 0; x < kN; ++x)
      for (std::size_t y = 0; y < kN; ++y) {
        const std::int64_t p = std::int64_t{a[j].c[x]} * b[j].c[y];
        if (x + y < kN)
          acc[x + y] += p;
        else
          acc[x + y - kN] -= p;  // X^256 = -1
      }
  Poly r;
  for (std::size_t i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(mod_q(acc[i]));
  return r;
}

TEST(MlKem768Arith, NttProductsEqualSchoolbookProducts) {
  std::mt19937 rng(2);
  // Full-range operands, the small noise the scheme multiplies by, and extremes.
  std::uniform_int_distribution<int> full(-(kQ - 1), kQ - 1), small(-2, 2);
  for (int trial = 0; trial < 4; ++trial) {
    PolyVec a, b;
    for (std::size_t j = 0; j < kK; ++j)
      for (std::size_t i = 0; i < kN; ++i) {
        a[j].c[i] = static_cast<std::int16_t>(trial == 3 ? kQ - 1 : full(rng));
        b[j].c[i] = static_cast<std::int16_t>(trial == 3 ? -(kQ - 1) : trial == 1 ? small(rng) : full(rng));
      }
    const Poly expected = schoolbook_sum(a, b);
    PolyVec a_hat = a, b_hat = b;
    for (auto& p : a_hat) ntt(p);
    for (auto& p : b_hat) ntt(p);
    Poly r;
    const std::array<const Poly*, kK> ap = {&a_hat[0], &a_hat[1], &a_hat[2]};
    const std::array<const Poly*, kK> bp = {&b_hat[0], &b_hat[1], &b_hat[2]};
    multiply_ntts_acc(r, ap, bp);
    inv_ntt(r);
    for (std::size_t i = 0; i < kN; ++i)
      ASSERT_EQ(mod_q(r.c[i]), expected.c[i]) << "trial " << trial << " i " << i;
  }
}

TEST(MlKem768Arith, ByteDecode12ReducesModQAndModulusCheckSeesEveryCoefficient) {
  // Every 12-bit value in the first coefficient slot, then the last slot.
  std::array<std::uint8_t, kPolyBytes> in{};
  Poly p;
  for (std::uint32_t v = 0; v < 4096; ++v) {
    for (std::size_t slot : {std::size_t{0}, kN - 1}) {
      in.fill(0);
      // Coefficient i occupies bits 12i .. 12i+11.
      const std::size_t bit = 12 * slot;
      const std::uint32_t word = v << (bit % 8);
      in[bit / 8] |= static_cast<std::uint8_t>(word);
      in[bit / 8 + 1] |= static_cast<std::uint8_t>(word >> 8);
      byte_decode12(p, in);
      ASSERT_EQ(p.c[slot], static_cast<std::int16_t>(v % kQ));
      ASSERT_EQ(byte_decode12_reduced(p, in), v < static_cast<std::uint32_t>(kQ)) << v << " slot " << slot;
      std::array<std::uint8_t, kPolyBytes> out{};
      if (v < static_cast<std::uint32_t>(kQ)) {
        byte_encode12(out, p);
        ASSERT_EQ(out, in);
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::crypto::mlkem768
