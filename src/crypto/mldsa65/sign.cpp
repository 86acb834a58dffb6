#include <algorithm>

#include "common/secure_bytes.hpp"
#include "crypto/keccak.hpp"
#include "crypto/mldsa65/ct.hpp"
#include "crypto/mldsa65/internal.hpp"
#include "crypto/mldsa65/ntt.hpp"
#include "crypto/mldsa65/rounding.hpp"
#include "crypto/mldsa65/sampling.hpp"

namespace ostrel::crypto::mldsa65 {
namespace {

// Every intermediate of one signature, in one place so that one destructor wipes it all on
// every way out of the loop.
struct SignScratch {
  std::array<std::uint8_t, kRhoPrimePrimeBytes> rho_pp;
  PolyVecL y;      // the mask, then z = y + cs1
  PolyVecL cs1;    // NTT(y) first, then <<c s1>>
  PolyVecK w;      // A y, then <<c t0>>
  PolyVecK w1;     // HighBits(w), then the hint h
  PolyVecK w_cs2;  // w - <<c s2>> in [0, q)
  Poly c;          // the challenge, then its NTT
  std::array<std::uint8_t, kW1EncodedBytes> w1_encoded;
  std::array<std::uint8_t, kCTildeBytes> c_tilde;

  SignScratch() = default;
  SignScratch(const SignScratch&) = delete;
  SignScratch& operator=(const SignScratch&) = delete;
  ~SignScratch() { common::secure_wipe(this, sizeof(*this)); }
};

// Sign bit of (bound - 1 - |x|): set once any |x| >= bound. Accumulated over a whole vector
// so the time does not depend on where the first large coefficient is.
template <std::size_t N>
std::int32_t norm_reaches(const PolyVec<N>& v, std::int32_t bound) noexcept {
  std::int32_t flag = 0;
  for (const Poly& p : v)
    for (std::int32_t x : p) flag |= bound - 1 - ct::abs(x);
  return flag >> 31;
}

// Which test rejected a candidate may be known: each test is on a candidate that is then
// discarded, and the number of attempts shows in the signing time anyway. The values tested
// stay secret; only the one-bit outcome is declassified.
bool rejected(std::int32_t flag) noexcept { return ct::declassify_value(flag) != 0; }

}  // namespace

void message_representative(std::span<const std::uint8_t, kTrBytes> tr,
                            std::initializer_list<std::span<const std::uint8_t>> m_prime,
                            std::span<std::uint8_t, kMuBytes> mu) {
  Shake256 h;
  h.absorb(tr);
  for (auto piece : m_prime) h.absorb(piece);
  h.squeeze(mu);
}

common::Result<void, CryptoError> sign_internal(const PublicState& pub, const SecretState& sec,
                                                std::span<const std::uint8_t, kMuBytes> mu,
                                                std::span<const std::uint8_t, kRndBytes> rnd,
                                                SignatureSpan sig) {
  SignScratch s;
  {
    Shake256 h;  // step 7: rho'' = H(K || rnd || mu, 64)
    h.absorb(sec.key);
    h.absorb(rnd);
    h.absorb(mu);
    h.squeeze(s.rho_pp);
  }

  // Step 8. IntegerToBytes(kappa + r, 2) in ExpandMask must not wrap; about 13000 rejections
  // in a row are needed to get there, which a well-formed key makes impossible in practice.
  for (std::uint32_t kappa = 0; kappa + kL <= 0x10000; kappa += kL) {  // steps 10, 31
    expand_mask(s.rho_pp, static_cast<std::uint16_t>(kappa), s.y);     // step 11

    // Step 12: w = NTT^-1(A-hat o NTT(y)), then taken into [0, q).
    s.cs1 = s.y;
    for (Poly& p : s.cs1) ntt(p);
    for (std::size_t i = 0; i < kK; ++i) {
      inner_product_ntt(pub.a_hat[i], s.cs1, s.w[i]);
      inverse_ntt(s.w[i]);
      for (auto& x : s.w[i]) x = field::caddq(x);
    }

    // Steps 13-15: w1 = HighBits(w), c~ = H(mu || w1Encode(w1), lambda/4).
    for (std::size_t i = 0; i < kK; ++i)
      for (std::size_t j = 0; j < kN; ++j) s.w1[i][j] = high_bits(s.w[i][j]);
    w1_encode(s.w1, s.w1_encoded);
    {
      Shake256 h;
      h.absorb(mu);
      h.absorb(s.w1_encoded);
      h.squeeze(s.c_tilde);
    }

    sample_in_ball(s.c_tilde, s.c, Challenge::Secret);  // step 16
    ntt(s.c);                                           // step 17

    // Steps 18 and 20: z = y + <<c s1>>. The true product has |.| <= tau eta = beta, so the
    // centred representative is exact.
    for (std::size_t i = 0; i < kL; ++i) {
      multiply_ntt(s.c, sec.s1_hat[i], s.cs1[i]);
      inverse_ntt(s.cs1[i]);
      for (std::size_t j = 0; j < kN; ++j) s.y[i][j] += field::centre(s.cs1[i][j]);
    }
    if (rejected(norm_reaches(s.y, kGamma1 - kBeta))) continue;  // step 23, first test

    // Steps 19 and 21: r0 = LowBits(w - <<c s2>>).
    std::int32_t low_flag = 0;
    for (std::size_t i = 0; i < kK; ++i) {
      Poly& d = s.w_cs2[i];
      multiply_ntt(s.c, sec.s2_hat[i], d);
      inverse_ntt(d);
      for (std::size_t j = 0; j < kN; ++j) {
        d[j] = field::freeze(s.w[i][j] - field::centre(d[j]));
        low_flag |= (kGamma2 - kBeta) - 1 - ct::abs(low_bits(d[j]));
      }
    }
    if (rejected(low_flag >> 31)) continue;  // step 23, second test

    // Steps 25-26: <<c t0>> and h = MakeHint(-<<c t0>>, w - <<c s2>> + <<c t0>>), written
    // over w and w1, which are no longer needed.
    PolyVecK& ct0 = s.w;
    PolyVecK& h = s.w1;
    std::int32_t hints = 0;
    for (std::size_t i = 0; i < kK; ++i) {
      multiply_ntt(s.c, sec.t0_hat[i], ct0[i]);
      inverse_ntt(ct0[i]);
      for (std::size_t j = 0; j < kN; ++j) {
        ct0[i][j] = field::centre(ct0[i][j]);
        h[i][j] = make_hint(s.w_cs2[i][j], field::freeze(s.w_cs2[i][j] + ct0[i][j]));
        hints += h[i][j];
      }
    }
    // Step 28.
    if (rejected(norm_reaches(ct0, kGamma2) | ((static_cast<std::int32_t>(kOmega) - hints) >> 31))) continue;

    // Step 33: the candidate is accepted and (c~, z, h) become the public signature.
    ct::declassify(s.c_tilde);
    ct::declassify(s.y);
    ct::declassify(h);
    sig_encode(s.c_tilde, s.y, h, sig);
    return {};
  }
  return common::fail(CryptoError{CryptoError::Kind::InvalidKey, "signing found no acceptable candidate"});
}

}  // namespace ostrel::crypto::mldsa65
