// The arithmetic and encodings of ML-DSA-65 against their definitions in FIPS 204, written
// here the plain way (division, remainders, branches), exhaustively where the domain allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

#include "crypto/keccak.hpp"
#include "crypto/mldsa65/encoding.hpp"
#include "crypto/mldsa65/field.hpp"
#include "crypto/mldsa65/ntt.hpp"
#include "crypto/mldsa65/rounding.hpp"
#include "crypto/mldsa65/sampling.hpp"

namespace ostrel::crypto::mldsa65 {
namespace {

std::int64_t mod_q(std::int64_t a) {
  a %= kQ;
  return a < 0 ? a + kQ : a;
}

// x mod+- alpha: the representative in (-alpha/2, alpha/2].
std::int32_t mod_pm(std::int32_t x, std::int32_t alpha) {
  std::int32_t r = x % alpha;
  if (r < 0) r += alpha;
  if (r > alpha / 2) r -= alpha;
  return r;
}

Poly random_poly(std::mt19937_64& rng, std::int32_t lo, std::int32_t hi) {
  std::uniform_int_distribution<std::int32_t> d(lo, hi);
  Poly p;
  for (auto& c : p) c = d(rng);
  return p;
}

TEST(MlDsa65Arith, MontgomeryAndReductionsMatchTheirDefinitions) {
  std::mt19937_64 rng(1);
  const std::int64_t r_inv = field::pow_mod(field::kMont, kQ - 2);  // R^-1 mod q
  const std::int64_t bound = (std::int64_t{1} << 31) * kQ - 1;
  std::uniform_int_distribution<std::int64_t> d(-bound, bound);
  std::vector<std::int64_t> inputs = {0, 1, -1, bound, -bound, kQ, -kQ};
  for (int i = 0; i < 100000; ++i) inputs.push_back(d(rng));
  for (std::int64_t a : inputs) {
    const std::int32_t r = field::montgomery_reduce(a);
    ASSERT_LT(std::abs(r), kQ) << a;
    ASSERT_EQ(mod_q(r), mod_q(mod_q(a) * r_inv)) << a;
  }
  const std::int32_t max32 = (1 << 30) + ((1 << 30) - (1 << 22) - 1);  // 2^31 - 2^22 - 1
  std::uniform_int_distribution<std::int32_t> d32(-max32, max32);
  std::vector<std::int32_t> small = {0, 1, -1, max32, -max32, kQ, -kQ, kQ - 1, (kQ - 1) / 2, (kQ + 1) / 2};
  for (int i = 0; i < 100000; ++i) small.push_back(d32(rng));
  for (std::int32_t a : small) {
    const std::int32_t r = field::reduce32(a);
    ASSERT_LE(std::abs(r), 6283008) << a;
    ASSERT_EQ(mod_q(r), mod_q(a)) << a;
    ASSERT_EQ(field::freeze(a), mod_q(a)) << a;
    if (std::abs(a) < kQ) {
      ASSERT_EQ(field::centre(a), mod_pm(static_cast<std::int32_t>(mod_q(a)), kQ)) << a;
    }
  }
}

// Negacyclic schoolbook product in Z_q[X]/(X^256 + 1).
Poly schoolbook(const Poly& a, const Poly& b) {
  std::array<std::int64_t, kN> acc{};
  for (std::size_t i = 0; i < kN; ++i)
    for (std::size_t j = 0; j < kN; ++j) {
      const std::int64_t p = mod_q(static_cast<std::int64_t>(a[i]) * b[j]);
      if (i + j < kN)
        acc[i + j] += p;
      else
        acc[i + j - kN] -= p;
    }
  Poly c;
  for (std::size_t i = 0; i < kN; ++i) c[i] = static_cast<std::int32_t>(mod_q(acc[i]));
  return c;
}

TEST(MlDsa65Arith, NttProductEqualsSchoolbookProduct) {
  std::mt19937_64 rng(2);
  // Operand ranges as signing uses them: A-hat in [0, q) against y, s1 and c against t0.
  const std::pair<std::int32_t, std::int32_t> ranges[] = {
      {0, kQ - 1}, {-kGamma1 + 1, kGamma1}, {-kEta, kEta}, {-1, 1}, {-(1 << 12) + 1, 1 << 12}};
  for (auto [lo, hi] : ranges) {
    for (int rep = 0; rep < 3; ++rep) {
      const Poly a = random_poly(rng, 0, kQ - 1);
      const Poly b = random_poly(rng, lo, hi);
      Poly a_hat = a, b_hat = b, c;
      ntt(a_hat);
      ntt(b_hat);
      for (std::int32_t x : b_hat) ASSERT_LT(std::abs(x), std::max(std::abs(lo), std::abs(hi)) + 8 * kQ);
      multiply_ntt(a_hat, b_hat, c);
      inverse_ntt(c);
      const Poly expected = schoolbook(a, b);
      for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_LT(std::abs(c[i]), kQ);
        ASSERT_EQ(mod_q(c[i]), expected[i]) << "coefficient " << i << " range [" << lo << ", " << hi << "]";
      }
    }
  }
  // The extreme of the inverse transform's bound: every input coefficient at q - 1.
  Poly w;
  w.fill(kQ - 1);
  inverse_ntt(w);
  for (std::int32_t x : w) ASSERT_LT(std::abs(x), kQ);
}

TEST(MlDsa65Arith, InnerProductEqualsSumOfProducts) {
  std::mt19937_64 rng(3);
  PolyVecL a, b;
  for (auto& p : a) p = random_poly(rng, 0, kQ - 1);
  for (auto& p : b) p = random_poly(rng, -kGamma1 + 1, kGamma1);
  PolyVecL a_hat = a, b_hat = b;
  for (auto& p : a_hat) ntt(p);
  for (auto& p : b_hat) ntt(p);
  Poly c;
  inner_product_ntt(a_hat, b_hat, c);
  inverse_ntt(c);
  Poly expected{};
  for (std::size_t j = 0; j < kL; ++j) {
    const Poly p = schoolbook(a[j], b[j]);
    for (std::size_t i = 0; i < kN; ++i) expected[i] = static_cast<std::int32_t>(mod_q(expected[i] + p[i]));
  }
  for (std::size_t i = 0; i < kN; ++i) ASSERT_EQ(mod_q(c[i]), expected[i]) << i;
}

// FIPS 204, Algorithms 35 and 36 as written, over every r in [0, q).
TEST(MlDsa65Arith, Power2RoundAndDecomposeOverAllOfZq) {
  for (std::int32_t r = 0; r < kQ; ++r) {
    const std::int32_t p0 = mod_pm(r, 1 << kD);
    const Split p = power2round(r);
    ASSERT_EQ(p.low, p0) << r;
    ASSERT_EQ(p.high, (r - p0) >> kD) << r;

    std::int32_t r0 = mod_pm(r, 2 * kGamma2);
    std::int32_t r1;
    if (r - r0 == kQ - 1) {
      r1 = 0;
      r0 -= 1;
    } else {
      r1 = (r - r0) / (2 * kGamma2);
    }
    const Split d = decompose(r);
    ASSERT_EQ(d.high, r1) << r;
    ASSERT_EQ(d.low, r0) << r;
  }
}

// FIPS 204, Lemma 1 (section 7.4): UseHint(MakeHint(z, r), r) = HighBits(r + z) for
// ||z|| <= gamma2, and MakeHint is 1 exactly when the high bits change.
TEST(MlDsa65Arith, HintsRecoverTheHighBits) {
  std::mt19937_64 rng(4);
  std::uniform_int_distribution<std::int32_t> dr(0, kQ - 1), dz(-kGamma2, kGamma2);
  std::vector<std::pair<std::int32_t, std::int32_t>> cases = {
      {0, 0}, {kQ - 1, 1}, {kQ - 1, -kGamma2}, {kGamma2, 1}, {kGamma2, -1}, {kQ - kGamma2, kGamma2}, {0, -1}};
  for (int i = 0; i < 1000000; ++i) cases.emplace_back(dr(rng), dz(rng));
  for (auto [r, z] : cases) {
    const auto rz = static_cast<std::int32_t>(mod_q(static_cast<std::int64_t>(r) + z));
    const std::int32_t h = make_hint(rz, r);
    ASSERT_EQ(h, high_bits(r) != high_bits(rz) ? 1 : 0) << r << " " << z;
    ASSERT_EQ(use_hint(h, r), high_bits(rz)) << r << " " << z;
  }
}

TEST(MlDsa65Arith, SampleInBallMatchesTheAlgorithmAsWritten) {
  std::mt19937_64 rng(5);
  for (int rep = 0; rep < 200; ++rep) {
    std::array<std::uint8_t, kCTildeBytes> seed;
    for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
    // FIPS 204, Algorithm 29 with its branches and indexing.
    std::array<std::uint8_t, 4096> stream;
    shake256(seed, stream);
    Poly expected{};
    std::size_t pos = 8;
    for (std::size_t i = kN - kTau; i < kN; ++i) {
      std::size_t j = stream[pos++];
      while (j > i) j = stream[pos++];
      expected[i] = expected[j];
      expected[j] = ((stream[(i + kTau - kN) / 8] >> ((i + kTau - kN) % 8)) & 1) ? -1 : 1;
    }
    for (Challenge secrecy : {Challenge::Secret, Challenge::Public}) {
      Poly c;
      sample_in_ball(seed, c, secrecy);
      ASSERT_EQ(c, expected);
      EXPECT_EQ(std::count_if(c.begin(), c.end(), [](std::int32_t x) { return x != 0; }), kTau);
    }
  }
}

TEST(MlDsa65Arith, ExpandedPolynomialsStayInTheirRanges) {
  std::array<std::uint8_t, kRhoPrimeBytes> rho_prime{};
  rho_prime[0] = 7;
  PolyVecL s1, y;
  PolyVecK s2;
  expand_s(rho_prime, s1, s2);
  std::array<int, 2 * kEta + 1> seen{};
  for (const Poly& p : s1)
    for (std::int32_t x : p) {
      ASSERT_LE(std::abs(x), kEta);
      ++seen[x + kEta];
    }
  for (const Poly& p : s2)
    for (std::int32_t x : p) ASSERT_LE(std::abs(x), kEta);
  for (int count : seen) EXPECT_GT(count, 0);    // every value in [-eta, eta] occurs
  expand_mask(rho_prime, 0xFFFF - (kL - 1), y);  // the last counter value that does not wrap
  for (const Poly& p : y)
    for (std::int32_t x : p) ASSERT_TRUE(x > -kGamma1 && x <= kGamma1) << x;
}

// Round trips of every packed form with the extreme coefficients of each range.
TEST(MlDsa65Arith, EncodingsRoundTripAtTheirExtremes) {
  std::mt19937_64 rng(6);
  auto fill = [&](auto& vec, std::int32_t lo, std::int32_t hi) {
    for (auto& p : vec) {
      p = random_poly(rng, lo, hi);
      p[0] = lo;
      p[1] = hi;
    }
  };
  KeyParts parts{};
  for (auto& b : parts.rho) b = static_cast<std::uint8_t>(rng());
  for (auto& b : parts.key) b = static_cast<std::uint8_t>(rng());
  for (auto& b : parts.tr) b = static_cast<std::uint8_t>(rng());
  fill(parts.s1, -kEta, kEta);
  fill(parts.s2, -kEta, kEta);
  fill(parts.t0, -(1 << (kD - 1)) + 1, 1 << (kD - 1));
  fill(parts.t1, 0, (1 << 10) - 1);

  std::array<std::uint8_t, kSecretKeyBytes> sk;
  sk_encode(parts, sk);
  KeyParts back{};
  ASSERT_TRUE(sk_decode(sk, back));
  EXPECT_EQ(back.rho, parts.rho);
  EXPECT_EQ(back.key, parts.key);
  EXPECT_EQ(back.tr, parts.tr);
  EXPECT_EQ(back.s1, parts.s1);
  EXPECT_EQ(back.s2, parts.s2);
  EXPECT_EQ(back.t0, parts.t0);

  std::array<std::uint8_t, kPublicKeyBytes> pk;
  pk_encode(parts.rho, parts.t1, pk);
  std::array<std::uint8_t, kRhoBytes> rho;
  PolyVecK t1;
  pk_decode(pk, rho, t1);
  EXPECT_EQ(rho, parts.rho);
  EXPECT_EQ(t1, parts.t1);

  std::array<std::uint8_t, kCTildeBytes> c_tilde;
  for (auto& b : c_tilde) b = static_cast<std::uint8_t>(rng());
  PolyVecL z;
  fill(z, -kGamma1 + 1, kGamma1);
  PolyVecK h{};
  h[0][0] = h[0][255] = h[2][17] = h[5][255] = 1;
  std::array<std::uint8_t, kSignatureBytes> sig;
  sig_encode(c_tilde, z, h, sig);
  std::array<std::uint8_t, kCTildeBytes> c_back;
  PolyVecL z_back;
  PolyVecK h_back;
  ASSERT_TRUE(sig_decode(sig, c_back, z_back, h_back));
  EXPECT_EQ(c_back, c_tilde);
  EXPECT_EQ(z_back, z);
  EXPECT_EQ(h_back, h);
}

TEST(MlDsa65Arith, SecretKeyDecodingRefusesOutOfRangeEta) {
  KeyParts parts{};
  std::array<std::uint8_t, kSecretKeyBytes> sk;
  sk_encode(parts, sk);  // all-zero s1, s2 encode as eta - 0 = 4 in every nibble
  KeyParts back;
  ASSERT_TRUE(sk_decode(sk, back));
  constexpr std::size_t kS1 = kRhoBytes + kKeyBytes + kTrBytes;
  constexpr std::size_t kS2End = kS1 + (kL + kK) * packed_poly_bytes(kEtaBits);
  // Nibble 8 (coefficient -eta) is the largest allowed; 9 and 15 are not, in s1 or s2.
  for (auto [offset, byte, ok] : {std::tuple{kS1, std::uint8_t{0x48}, true},
                                  {kS1, std::uint8_t{0x49}, false},
                                  {kS1, std::uint8_t{0x94}, false},
                                  {kS2End - 1, std::uint8_t{0xF4}, false},
                                  {kS2End, std::uint8_t{0xFF}, true}}) {  // kS2End is t0: any 13 bits
    auto bad = sk;
    bad[offset] = byte;
    EXPECT_EQ(sk_decode(bad, back), ok) << offset << " " << int(byte);
  }
}

// HintBitUnpack (FIPS 204, Algorithm 21) must refuse every malformed hint, so that no
// signature has two encodings.
TEST(MlDsa65Arith, HintDecodingRefusesMalformedHints) {
  constexpr std::size_t kHint = kSignatureBytes - kOmega - kK;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> indices;  // the first bytes of the hint field
    std::array<std::uint8_t, kK> ends;  // running count after each row
    bool ok;
  };
  // clang-format off
  const Case cases[] = {
      {"no hints",                             {},           {0, 0, 0, 0, 0, 0},     true},
      {"one hint in row 0",                    {5},          {1, 1, 1, 1, 1, 1},     true},
      {"indices equal",                        {5, 5},       {2, 2, 2, 2, 2, 2},     false},
      {"indices decreasing",                   {6, 5},       {2, 2, 2, 2, 2, 2},     false},
      {"decreasing across rows is fine",       {6, 5},       {1, 2, 2, 2, 2, 2},     true},
      {"count beyond omega",                   {},           {0, 0, 0, 0, 0, 56},    false},
      {"count decreasing",                     {1},          {1, 0, 0, 0, 0, 0},     false},
      {"padding not zero",                     {0, 0, 0, 9}, {0, 0, 0, 0, 0, 0},     false},
      {"padding not zero after the last hint", {1, 7},       {1, 1, 1, 1, 1, 1},     false},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::array<std::uint8_t, kSignatureBytes> sig{};
    std::ranges::copy(c.indices, sig.begin() + kHint);
    std::ranges::copy(c.ends, sig.begin() + kHint + kOmega);
    std::array<std::uint8_t, kCTildeBytes> c_tilde;
    PolyVecL z;
    PolyVecK h;
    EXPECT_EQ(sig_decode(sig, c_tilde, z, h), c.ok) << c.what;
  }
  // Exactly omega hints, all in the last row: the most the encoding can hold.
  std::array<std::uint8_t, kSignatureBytes> sig{};
  for (std::size_t i = 0; i < kOmega; ++i) sig[kHint + i] = static_cast<std::uint8_t>(i);
  sig[kHint + kOmega + kK - 1] = kOmega;
  std::array<std::uint8_t, kCTildeBytes> c_tilde;
  PolyVecL z;
  PolyVecK h;
  ASSERT_TRUE(sig_decode(sig, c_tilde, z, h));
  EXPECT_EQ(std::count(h[kK - 1].begin(), h[kK - 1].end(), 1), static_cast<long>(kOmega));
}

}  // namespace
}  // namespace ostrel::crypto::mldsa65
