#pragma once
// Ed25519 signatures (RFC 8032, pure Ed25519: no pre-hash, no context).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "common/secure_bytes.hpp"
#include "crypto/classical/evp_handles.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

inline constexpr std::size_t kEd25519SeedSize = 32;
inline constexpr std::size_t kEd25519PublicKeySize = 32;
inline constexpr std::size_t kEd25519SignatureSize = 64;
using Ed25519PublicKeyBytes = std::array<std::uint8_t, kEd25519PublicKeySize>;
using Ed25519Signature = std::array<std::uint8_t, kEd25519SignatureSize>;

// Importing a raw key into OpenSSL costs about as much as one signature, so both key classes
// keep the imported key for their whole life. Copies share it; both are safe for concurrent
// use from several threads (each call makes its own OpenSSL context).
class Ed25519PublicKey {
 public:
  // 32 bytes that decode to a point of the curve (RFC 8032, 5.1.3): y below p and x
  // recoverable with the given sign. Anything else is InvalidEncoding.
  [[nodiscard]] static common::Result<Ed25519PublicKey, CryptoError> from_bytes(
      std::span<const std::uint8_t> bytes);

  const Ed25519PublicKeyBytes& bytes() const noexcept { return bytes_; }

  // Success only for a valid signature of `message` (RFC 8032, 5.1.7, as OpenSSL checks it:
  // S must be below the group order, R is compared by its encoding). A signature that is not
  // 64 bytes is InvalidLength; one that does not verify is VerificationFailed.
  [[nodiscard]] common::Result<void, CryptoError> verify(std::span<const std::uint8_t> message,
                                                         std::span<const std::uint8_t> signature) const;

 private:
  friend class Ed25519PrivateKey;
  Ed25519PublicKey(PkeyRef key, const Ed25519PublicKeyBytes& bytes) noexcept
      : key_(std::move(key)), bytes_(bytes) {}
  PkeyRef key_;
  Ed25519PublicKeyBytes bytes_{};
};

class Ed25519PrivateKey {
 public:
  // The 32-byte secret key of RFC 8032 (the seed hashed into the scalar and prefix).
  [[nodiscard]] static common::Result<Ed25519PrivateKey, CryptoError> from_seed(
      std::span<const std::uint8_t> seed);
  // A fresh seed from the operating system's random source.
  [[nodiscard]] static common::Result<Ed25519PrivateKey, CryptoError> generate();

  const Ed25519PublicKeyBytes& public_key() const noexcept { return public_.bytes(); }
  // The matching verifier, sharing this key's import.
  const Ed25519PublicKey& verifying_key() const noexcept { return public_; }
  // The seed, for storing the key.
  [[nodiscard]] common::Result<common::SecureBytes, CryptoError> seed() const;

  // Deterministic: the same key and message always give the same signature.
  [[nodiscard]] common::Result<Ed25519Signature, CryptoError> sign(
      std::span<const std::uint8_t> message) const;

 private:
  Ed25519PrivateKey(PkeyRef key, Ed25519PublicKey pub) noexcept
      : key_(std::move(key)), public_(std::move(pub)) {}
  PkeyRef key_;
  Ed25519PublicKey public_;
};

}  // namespace ostrel::crypto
