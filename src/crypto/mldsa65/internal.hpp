#pragma once
// The internal functions of FIPS 204 (KeyGen_internal, Sign_internal, Verify_internal) over
// the expanded key forms that MlDsa65PrivateKey and MlDsa65PublicKey keep, so that a key used
// for many signatures expands its matrix and transforms its vectors once.
#include <array>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "crypto/crypto_error.hpp"
#include "crypto/mldsa65/encoding.hpp"
#include "crypto/mldsa65/field.hpp"

namespace ostrel::crypto::mldsa65 {

// Everything verification needs, derived once from the 1952-byte public key.
struct PublicState {
  std::array<std::uint8_t, kPublicKeyBytes> encoded;
  std::array<std::uint8_t, kRhoBytes> rho;
  std::array<std::uint8_t, kTrBytes> tr;  // H(pk, 64)
  PolyMatrix a_hat;                       // ExpandA(rho)
  PolyVecK t1_hat;                        // NTT(t1 * 2^d), coefficients in (-q, q)
};

// The secret half of an expanded key, NTT forms with coefficients in (-q, q). Wiped, seed
// included, when released.
struct SecretState {
  std::array<std::uint8_t, kKeyBytes> key;  // K
  PolyVecL s1_hat;
  PolyVecK s2_hat;
  PolyVecK t0_hat;
  std::array<std::uint8_t, kSeedBytes> seed;  // xi, when the key was made from one
  bool has_seed = false;

  SecretState() = default;
  SecretState(const SecretState&) = delete;
  SecretState& operator=(const SecretState&) = delete;
  ~SecretState();
};

// FIPS 204, Algorithm 6, steps 1 to 9: the key parts in the plain domain, A-hat and the
// encoded public key. skEncode (step 10) is left to the caller that wants the 4032 bytes.
void keygen_internal(std::span<const std::uint8_t, kSeedBytes> xi, KeyParts& parts, PolyMatrix& a_hat,
                     PublicKeySpan pk);

// Fills the NTT forms of both states from key parts whose pk, tr and A-hat are known.
void expand_public(const KeyParts& parts, std::span<const std::uint8_t, kPublicKeyBytes> pk,
                   PublicState& pub);
void expand_secret(const KeyParts& parts, SecretState& sec);

// The public state of an encoded public key (Algorithm 23 plus the precomputations).
void expand_public_key(std::span<const std::uint8_t, kPublicKeyBytes> pk, PublicState& pub);

// Checks that decoded secret key parts belong together (t0 and tr are what s1, s2 and rho
// give) and derives the public key from them. False for an inconsistent key. Runs in
// constant time in the secret parts; only the verdict is declassified.
[[nodiscard]] bool complete_from_secret(KeyParts& parts, PolyMatrix& a_hat, PublicKeySpan pk);

// mu = H(tr || M', 64) (Algorithm 7 step 6, Algorithm 8 step 7), with M' given in pieces so
// the external interface's prefix 0 || |ctx| || ctx needs no copy of the message.
void message_representative(std::span<const std::uint8_t, kTrBytes> tr,
                            std::initializer_list<std::span<const std::uint8_t>> m_prime,
                            std::span<std::uint8_t, kMuBytes> mu);

// FIPS 204, Algorithm 7, from step 7 (mu given). Fails only if the rejection loop runs out of
// its 16-bit counter, which a well-formed key makes impossible in practice.
[[nodiscard]] common::Result<void, CryptoError> sign_internal(const PublicState& pub, const SecretState& sec,
                                                              std::span<const std::uint8_t, kMuBytes> mu,
                                                              std::span<const std::uint8_t, kRndBytes> rnd,
                                                              SignatureSpan sig);

// FIPS 204, Algorithm 8, from step 8 (mu given). InvalidEncoding for a malformed hint,
// VerificationFailed otherwise.
[[nodiscard]] common::Result<void, CryptoError> verify_internal(
    const PublicState& pub, std::span<const std::uint8_t, kMuBytes> mu,
    std::span<const std::uint8_t, kSignatureBytes> sig);

}  // namespace ostrel::crypto::mldsa65
