#pragma once
// ML-DSA-65 signatures (FIPS 204): key pairs from a 32-byte seed, pure signing with a context
// string of up to 255 bytes, deterministic or hedged, and verification.
//
// Sizes are checked here, once, at the boundary; everything below works on fixed-extent spans.
// A key object expands its key when built (the matrix A-hat, and for a private key the NTT
// forms of s1, s2 and t0), so a key that signs or verifies many messages pays for that once.
// Both key types are immutable and safe to use from several threads at once.
// A moved-from key may only be destroyed or assigned to.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/error.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

namespace mldsa65 {
struct PublicState;
struct SecretState;
}  // namespace mldsa65

inline constexpr std::size_t kMlDsa65SeedBytes = 32;
inline constexpr std::size_t kMlDsa65PublicKeyBytes = 1952;
inline constexpr std::size_t kMlDsa65SecretKeyBytes = 4032;  // the expanded encoding (skEncode)
inline constexpr std::size_t kMlDsa65SignatureBytes = 3309;
inline constexpr std::size_t kMlDsa65MuBytes = 64;
inline constexpr std::size_t kMlDsa65RndBytes = 32;
inline constexpr std::size_t kMlDsa65MaxContextBytes = 255;

using MlDsa65Signature = std::array<std::uint8_t, kMlDsa65SignatureBytes>;
using MlDsa65EncodedPublicKey = std::array<std::uint8_t, kMlDsa65PublicKeyBytes>;

class MlDsa65PublicKey {
 public:
  // FIPS 204, Algorithm 23. Any 1952 bytes decode; another length is InvalidLength.
  [[nodiscard]] static common::Result<MlDsa65PublicKey, CryptoError> from_bytes(
      std::span<const std::uint8_t> encoded);

  [[nodiscard]] const MlDsa65EncodedPublicKey& bytes() const noexcept;

  // FIPS 204, Algorithm 3 (ML-DSA.Verify), pure. Errors: InvalidLength for a signature that
  // is not 3309 bytes or a context over 255 bytes, InvalidEncoding for a malformed hint,
  // VerificationFailed for a signature that does not verify.
  [[nodiscard]] common::Result<void, CryptoError> verify(std::span<const std::uint8_t> message,
                                                         std::span<const std::uint8_t> signature,
                                                         std::span<const std::uint8_t> context = {}) const;

  // FIPS 204, Algorithm 8 (ML-DSA.Verify_internal) on an already formatted message M'.
  [[nodiscard]] common::Result<void, CryptoError> verify_internal(
      std::span<const std::uint8_t> message_prime, std::span<const std::uint8_t> signature) const;

  // Algorithm 8 with the 64-byte message representative mu computed by the caller.
  [[nodiscard]] common::Result<void, CryptoError> verify_mu(std::span<const std::uint8_t> mu,
                                                            std::span<const std::uint8_t> signature) const;

 private:
  friend class MlDsa65PrivateKey;
  explicit MlDsa65PublicKey(std::shared_ptr<const mldsa65::PublicState> state) noexcept;
  [[nodiscard]] common::Result<void, CryptoError> verify_checked_mu(
      std::span<const std::uint8_t, kMlDsa65MuBytes> mu, std::span<const std::uint8_t> signature) const;

  std::shared_ptr<const mldsa65::PublicState> state_;
};

class MlDsa65PrivateKey {
 public:
  // FIPS 204, Algorithm 1: a fresh 32-byte seed from the operating system's random source.
  // Fails with RandomSource when that source fails.
  [[nodiscard]] static common::Result<MlDsa65PrivateKey, CryptoError> generate();

  // FIPS 204, Algorithm 6 (ML-DSA.KeyGen_internal) from the seed xi; InvalidLength unless it
  // is 32 bytes.
  [[nodiscard]] static common::Result<MlDsa65PrivateKey, CryptoError> from_seed(
      std::span<const std::uint8_t> seed);

  // FIPS 204, Algorithm 25 (skDecode) on the 4032-byte expanded encoding. The key is checked
  // to be one key generation can produce (coefficients of s1 and s2 in range, t0 and tr
  // matching s1, s2 and rho), else InvalidKey: a forged expanded key could otherwise make
  // signing loop or leak.
  [[nodiscard]] static common::Result<MlDsa65PrivateKey, CryptoError> from_expanded(
      std::span<const std::uint8_t> secret_key);

  MlDsa65PrivateKey(MlDsa65PrivateKey&&) noexcept;
  MlDsa65PrivateKey& operator=(MlDsa65PrivateKey&&) noexcept;
  ~MlDsa65PrivateKey();

  // The seed the key was made from; absent for a key read from its expanded encoding.
  [[nodiscard]] std::optional<std::span<const std::uint8_t, kMlDsa65SeedBytes>> seed() const noexcept;

  [[nodiscard]] const MlDsa65PublicKey& public_key() const noexcept { return public_; }

  // FIPS 204, Algorithm 2 (ML-DSA.Sign), pure, deterministic variant (rnd = 32 zero bytes):
  // the same key, message and context always give the same signature. InvalidLength for a
  // context over 255 bytes.
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_deterministic(
      std::span<const std::uint8_t> message, std::span<const std::uint8_t> context = {}) const;

  // FIPS 204, Algorithm 2, hedged variant: rnd is 32 fresh bytes from the operating system's
  // random source; RandomSource when that fails.
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_hedged(
      std::span<const std::uint8_t> message, std::span<const std::uint8_t> context = {}) const;

  // FIPS 204, Algorithm 7 (ML-DSA.Sign_internal) on an already formatted message M' with the
  // given 32-byte rnd.
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_internal(
      std::span<const std::uint8_t> message_prime, std::span<const std::uint8_t> rnd) const;

  // Algorithm 7 with the 64-byte message representative mu computed by the caller.
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_mu(
      std::span<const std::uint8_t> mu, std::span<const std::uint8_t> rnd) const;

 private:
  MlDsa65PrivateKey(MlDsa65PublicKey pub, std::unique_ptr<mldsa65::SecretState> secret) noexcept;
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_external(
      std::span<const std::uint8_t> message, std::span<const std::uint8_t> context,
      std::span<const std::uint8_t, kMlDsa65RndBytes> rnd) const;
  [[nodiscard]] common::Result<MlDsa65Signature, CryptoError> sign_checked_mu(
      std::span<const std::uint8_t, kMlDsa65MuBytes> mu,
      std::span<const std::uint8_t, kMlDsa65RndBytes> rnd) const;

  MlDsa65PublicKey public_;
  std::unique_ptr<mldsa65::SecretState> secret_;
};

}  // namespace ostrel::crypto
