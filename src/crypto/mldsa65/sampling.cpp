#include "crypto/mldsa65/sampling.hpp"

#include <array>

#include "common/secure_bytes.hpp"
#include "crypto/keccak.hpp"
#include "crypto/mldsa65/ct.hpp"

namespace ostrel::crypto::mldsa65 {
namespace {

constexpr std::size_t kShake128Rate = 168;  // bytes per squeezed block, (1600 - 2*128) / 8
constexpr std::size_t kShake256Rate = 136;  // (1600 - 2*256) / 8
static_assert(kShake128Rate % 3 == 0, "RejNTTPoly reads whole triples from each block");

// FIPS 204, Algorithm 30 (with Algorithm 14 inline). A is public: no constant-time need.
void rej_ntt_poly(std::span<const std::uint8_t, kRhoBytes + 2> seed, Poly& a) {
  Shake128 g;      // step 2
  g.absorb(seed);  // step 3
  std::array<std::uint8_t, kShake128Rate> block;
  std::size_t j = 0;   // step 1
  while (j < kN) {     // step 4
    g.squeeze(block);  // step 5, one block of triples at a time
    for (std::size_t p = 0; p < block.size() && j < kN; p += 3) {
      // Algorithm 14: 23 bits, little-endian, the top bit of the third byte dropped.
      const std::int32_t z = block[p] | (block[p + 1] << 8) | ((block[p + 2] & 0x7F) << 16);
      if (z < kQ) a[j++] = z;  // steps 6-7
    }
  }
}

// FIPS 204, Algorithm 31 for eta = 4 (with Algorithm 15 inline). The seed is secret; whether a
// half-byte is rejected may leak, since a rejected half-byte is discarded and the accepted
// ones are independent of it, so only that decision is declassified before branching on it.
void rej_bounded_poly(std::span<const std::uint8_t, kRhoPrimeBytes + 2> seed, Poly& a) {
  Shake256 h;      // step 2
  h.absorb(seed);  // step 3
  std::array<std::uint8_t, kShake256Rate> block;
  common::WipeOnExit wipe_block(block);
  std::size_t j = 0;   // step 1
  while (j < kN) {     // step 4
    h.squeeze(block);  // step 5, a block at a time
    for (std::size_t p = 0; p < block.size() && j < kN; ++p) {
      const std::int32_t z0 = block[p] & 0x0F;  // step 6
      const std::int32_t z1 = block[p] >> 4;    // step 7
      // Algorithm 15 for eta = 4: b < 9 gives 4 - b.
      if (ct::declassify_value(ct::less_than(z0, 9)) != 0) a[j++] = kEta - z0;            // steps 8-10
      if (j < kN && ct::declassify_value(ct::less_than(z1, 9)) != 0) a[j++] = kEta - z1;  // steps 11-13
    }
  }
}

}  // namespace

void expand_a(std::span<const std::uint8_t, kRhoBytes> rho, PolyMatrix& a_hat) {
  std::array<std::uint8_t, kRhoBytes + 2> seed;
  std::copy(rho.begin(), rho.end(), seed.begin());
  for (std::size_t r = 0; r < kK; ++r) {    // step 1
    for (std::size_t s = 0; s < kL; ++s) {  // step 2
      // Step 3: rho || IntegerToBytes(s, 1) || IntegerToBytes(r, 1); column index first.
      seed[kRhoBytes] = static_cast<std::uint8_t>(s);
      seed[kRhoBytes + 1] = static_cast<std::uint8_t>(r);
      rej_ntt_poly(seed, a_hat[r][s]);  // step 4
    }
  }
}

void expand_s(std::span<const std::uint8_t, kRhoPrimeBytes> rho_prime, PolyVecL& s1, PolyVecK& s2) {
  std::array<std::uint8_t, kRhoPrimeBytes + 2> seed;
  common::WipeOnExit wipe_seed(seed);
  std::copy(rho_prime.begin(), rho_prime.end(), seed.begin());
  // Steps 1-6: row r of s1 uses IntegerToBytes(r, 2), row r of s2 uses IntegerToBytes(r + l, 2).
  for (std::size_t r = 0; r < kL + kK; ++r) {
    seed[kRhoPrimeBytes] = static_cast<std::uint8_t>(r);
    seed[kRhoPrimeBytes + 1] = static_cast<std::uint8_t>(r >> 8);
    rej_bounded_poly(seed, r < kL ? s1[r] : s2[r - kL]);
  }
}

void expand_mask(std::span<const std::uint8_t, kRhoPrimePrimeBytes> rho_pp, std::uint16_t kappa,
                 PolyVecL& y) {
  // Step 1: c = 1 + bitlen(gamma1 - 1) = 20 bits per coefficient, 640 bytes per polynomial.
  constexpr std::size_t kBytes = packed_poly_bytes(kZBits);
  std::array<std::uint8_t, kRhoPrimePrimeBytes + 2> seed;
  std::array<std::uint8_t, kBytes> v;
  common::WipeOnExit wipe_seed(seed);
  common::WipeOnExit wipe_v(v);
  std::copy(rho_pp.begin(), rho_pp.end(), seed.begin());
  for (std::size_t r = 0; r < kL; ++r) {  // step 2
    const auto n = static_cast<std::uint16_t>(kappa + r);
    seed[kRhoPrimePrimeBytes] = static_cast<std::uint8_t>(n);  // step 3
    seed[kRhoPrimePrimeBytes + 1] = static_cast<std::uint8_t>(n >> 8);
    shake256(seed, v);  // step 4
    // Step 5, BitUnpack(v, gamma1 - 1, gamma1): two coefficients per 5 bytes.
    for (std::size_t i = 0; i < kN / 2; ++i) {
      const std::uint8_t* b = &v[5 * i];
      const std::uint32_t lo = b[0] | (b[1] << 8) | ((b[2] & 0x0Fu) << 16);
      const std::uint32_t hi = (b[2] >> 4) | (b[3] << 4) | (static_cast<std::uint32_t>(b[4]) << 12);
      y[r][2 * i] = kGamma1 - static_cast<std::int32_t>(lo);
      y[r][2 * i + 1] = kGamma1 - static_cast<std::int32_t>(hi);
    }
  }
}

void sample_in_ball(std::span<const std::uint8_t, kCTildeBytes> c_tilde, Poly& c, Challenge secrecy) {
  // The shuffle runs on bytes so that each sweep over the positions is cheap.
  std::array<std::int8_t, kN> cb{};  // step 1
  std::array<std::uint8_t, kShake256Rate> block;
  common::WipeOnExit wipe_cb(cb);
  common::WipeOnExit wipe_block(block);
  Shake256 h;               // step 2
  h.absorb(c_tilde);        // step 3
  h.squeeze(block);         // step 4 reads the first 8 bytes of the stream
  std::uint64_t signs = 0;  // step 5
  for (int i = 0; i < 8; ++i) signs |= static_cast<std::uint64_t>(block[i]) << (8 * i);
  std::size_t pos = 8;

  for (std::size_t i = kN - kTau; i < kN; ++i) {  // step 6
    std::uint32_t j;
    // Steps 7-10. Rejecting j > i leaks only the discarded byte's relation to the public i.
    do {
      if (pos == block.size()) {
        h.squeeze(block);
        pos = 0;
      }
      j = block[pos++];
    } while (ct::declassify_value(static_cast<std::uint32_t>(i) - j) >> 31 != 0);

    // Steps 11-12: c_i <- c_j, then c_j <- (-1)^h[i + tau - 256]; for a secret c~ without
    // indexing by j, by sweeping every position j could be.
    const auto sign = static_cast<std::int8_t>(1 - 2 * static_cast<int>(signs & 1));
    signs >>= 1;
    if (secrecy == Challenge::Public) {
      cb[i] = cb[j];
      cb[j] = sign;
      continue;
    }
    // One sweep: position k == j hands its old value over and takes the sign. Position i is
    // still 0, so c_i gets the old c_j, or the sign when j = i.
    const auto mask = [j](std::size_t k) {
      return static_cast<std::int8_t>(
          -static_cast<std::int32_t>(1 - ct::not_equal(static_cast<std::uint32_t>(k), j)));
    };
    std::int8_t cj = 0;
    for (std::size_t k = 0; k < i; ++k) {
      const std::int8_t eq = mask(k);
      cj = static_cast<std::int8_t>(cj | (cb[k] & eq));
      cb[k] = static_cast<std::int8_t>((cb[k] & ~eq) | (sign & eq));
    }
    const std::int8_t eq_i = mask(i);
    cb[i] = static_cast<std::int8_t>((cj & ~eq_i) | (sign & eq_i));
  }
  for (std::size_t k = 0; k < kN; ++k) c[k] = cb[k];
}

}  // namespace ostrel::crypto::mldsa65
