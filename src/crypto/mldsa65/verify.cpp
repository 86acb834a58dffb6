#include <algorithm>

#include "crypto/keccak.hpp"
#include "crypto/mldsa65/internal.hpp"
#include "crypto/mldsa65/ntt.hpp"
#include "crypto/mldsa65/rounding.hpp"
#include "crypto/mldsa65/sampling.hpp"

namespace ostrel::crypto::mldsa65 {

// Everything here is public: the key, the message and the signature.
common::Result<void, CryptoError> verify_internal(const PublicState& pub,
                                                  std::span<const std::uint8_t, kMuBytes> mu,
                                                  std::span<const std::uint8_t, kSignatureBytes> sig) {
  std::array<std::uint8_t, kCTildeBytes> c_tilde;
  PolyVecL z;
  PolyVecK h;
  if (!sig_decode(sig, c_tilde, z, h))  // steps 2-4
    return common::fail(CryptoError{CryptoError::Kind::InvalidEncoding, "malformed ML-DSA-65 hint"});

  // Step 13's norm test first: it is cheap and the rest is wasted when it fails.
  for (const Poly& p : z)
    for (std::int32_t x : p)
      if (x >= kGamma1 - kBeta || x <= -(kGamma1 - kBeta))
        return common::fail(CryptoError{CryptoError::Kind::VerificationFailed, {}});

  Poly c;
  sample_in_ball(c_tilde, c, Challenge::Public);  // step 8
  ntt(c);
  for (Poly& p : z) ntt(p);

  // Step 9: w'Approx = NTT^-1(A-hat o NTT(z) - NTT(c) o NTT(t1 2^d)), one accumulation per
  // row: |A-hat| < q, |z-hat|, |c-hat| < 9q and |t1-hat| < q bound the sum by 54 q^2 < 2^31 q.
  // Steps 10-12: w1' = UseHint(h, w'Approx), c~' = H(mu || w1Encode(w1'), lambda/4).
  PolyVecK w1;
  for (std::size_t i = 0; i < kK; ++i) {
    Poly& w = w1[i];
    for (std::size_t j = 0; j < kN; ++j) {
      std::int64_t acc = -static_cast<std::int64_t>(c[j]) * pub.t1_hat[i][j];
      for (std::size_t m = 0; m < kL; ++m) acc += static_cast<std::int64_t>(pub.a_hat[i][m][j]) * z[m][j];
      w[j] = field::montgomery_reduce(acc);
    }
    inverse_ntt(w);
    for (std::size_t j = 0; j < kN; ++j) w[j] = use_hint(h[i][j], field::caddq(w[j]));
  }
  std::array<std::uint8_t, kW1EncodedBytes> w1_encoded;
  w1_encode(w1, w1_encoded);
  std::array<std::uint8_t, kCTildeBytes> c_tilde_prime;
  Shake256 hash;
  hash.absorb(mu);
  hash.absorb(w1_encoded);
  hash.squeeze(c_tilde_prime);

  if (c_tilde != c_tilde_prime)  // step 13
    return common::fail(CryptoError{CryptoError::Kind::VerificationFailed, {}});
  return {};
}

}  // namespace ostrel::crypto::mldsa65
