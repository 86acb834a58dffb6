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

// Steps 5-6 of Algorithm 6: t = NTT^-1(A-hat o NTT(s1)) + s2, split by Power2Round. t1 is
// public and leaves declassified; t0 stays secret.
void compute_t(const PolyMatrix& a_hat, const PolyVecL& s1, const PolyVecK& s2, PolyVecK& t1, PolyVecK& t0) {
  PolyVecL s1_hat = s1;
  Poly t;
  common::WipeOnExit wipe_s1_hat(s1_hat);
  common::WipeOnExit wipe_t(t);
  for (Poly& p : s1_hat) ntt(p);
  for (std::size_t i = 0; i < kK; ++i) {
    // |A-hat| < q and |s1-hat| < 9q keep the 5-term sum below 45 q^2 < 2^31 q.
    inner_product_ntt(a_hat[i], s1_hat, t);
    inverse_ntt(t);
    for (std::size_t j = 0; j < kN; ++j) {
      const Split s = power2round(field::freeze(t[j] + s2[i][j]));
      t1[i][j] = s.high;
      t0[i][j] = s.low;
    }
  }
  ct::declassify(t1);
}

void ntt_reduced(Poly& p) {
  ntt(p);
  for (auto& c : p) c = field::reduce32(c);
}

// NTT(t1 * 2^d), as verification subtracts it; t1 * 2^d < 2^23 < q.
void scaled_t1_hat(const PolyVecK& t1, PolyVecK& t1_hat) {
  for (std::size_t i = 0; i < kK; ++i) {
    for (std::size_t j = 0; j < kN; ++j) t1_hat[i][j] = t1[i][j] << kD;
    ntt_reduced(t1_hat[i]);
  }
}

}  // namespace

SecretState::~SecretState() { common::secure_wipe(this, sizeof(*this)); }

void keygen_internal(std::span<const std::uint8_t, kSeedBytes> xi, KeyParts& parts, PolyMatrix& a_hat,
                     PublicKeySpan pk) {
  // Step 1: (rho, rho', K) = H(xi || IntegerToBytes(k, 1) || IntegerToBytes(l, 1), 128).
  std::array<std::uint8_t, kRhoBytes + kRhoPrimeBytes + kKeyBytes> seeds;
  common::WipeOnExit wipe_seeds(seeds);
  {
    Shake256 h;
    h.absorb(xi);
    const std::array<std::uint8_t, 2> kl{static_cast<std::uint8_t>(kK), static_cast<std::uint8_t>(kL)};
    h.absorb(kl);
    h.squeeze(seeds);
  }
  const auto rho_prime = std::span(seeds).subspan<kRhoBytes, kRhoPrimeBytes>();
  std::copy_n(seeds.begin(), kRhoBytes, parts.rho.begin());
  std::copy_n(seeds.begin() + kRhoBytes + kRhoPrimeBytes, kKeyBytes, parts.key.begin());
  ct::declassify(parts.rho);  // rho is part of the public key

  expand_a(parts.rho, a_hat);                                // step 3
  expand_s(rho_prime, parts.s1, parts.s2);                   // step 4
  compute_t(a_hat, parts.s1, parts.s2, parts.t1, parts.t0);  // steps 5-6
  pk_encode(parts.rho, parts.t1, pk);                        // step 8
  shake256(std::span<const std::uint8_t>(pk), parts.tr);     // step 9
}

bool complete_from_secret(KeyParts& parts, PolyMatrix& a_hat, PublicKeySpan pk) {
  expand_a(parts.rho, a_hat);
  PolyVecK t0;
  common::WipeOnExit wipe_t0(t0);
  compute_t(a_hat, parts.s1, parts.s2, parts.t1, t0);
  std::int32_t diff = 0;
  for (std::size_t i = 0; i < kK; ++i)
    for (std::size_t j = 0; j < kN; ++j) diff |= t0[i][j] ^ parts.t0[i][j];
  const bool t0_matches = ct::declassify_value(diff) == 0;
  pk_encode(parts.rho, parts.t1, pk);
  std::array<std::uint8_t, kTrBytes> tr;
  shake256(std::span<const std::uint8_t>(pk), tr);
  return t0_matches && tr == parts.tr;
}

void expand_public(const KeyParts& parts, std::span<const std::uint8_t, kPublicKeyBytes> pk,
                   PublicState& pub) {
  std::ranges::copy(pk, pub.encoded.begin());
  pub.rho = parts.rho;
  pub.tr = parts.tr;
  scaled_t1_hat(parts.t1, pub.t1_hat);
}

void expand_secret(const KeyParts& parts, SecretState& sec) {
  sec.key = parts.key;
  for (std::size_t i = 0; i < kL; ++i) {
    sec.s1_hat[i] = parts.s1[i];
    ntt_reduced(sec.s1_hat[i]);
  }
  for (std::size_t i = 0; i < kK; ++i) {
    sec.s2_hat[i] = parts.s2[i];
    ntt_reduced(sec.s2_hat[i]);
    sec.t0_hat[i] = parts.t0[i];
    ntt_reduced(sec.t0_hat[i]);
  }
}

void expand_public_key(std::span<const std::uint8_t, kPublicKeyBytes> pk, PublicState& pub) {
  PolyVecK t1;
  pk_decode(pk, pub.rho, t1);
  std::ranges::copy(pk, pub.encoded.begin());
  shake256(pk, pub.tr);
  expand_a(pub.rho, pub.a_hat);
  scaled_t1_hat(t1, pub.t1_hat);
}

}  // namespace ostrel::crypto::mldsa65
