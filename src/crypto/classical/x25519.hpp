#pragma once
// X25519 Diffie-Hellman (RFC 7748).
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "common/secure_bytes.hpp"
#include "crypto/classical/evp_handles.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

inline constexpr std::size_t kX25519KeySize = 32;
inline constexpr std::size_t kX25519SharedSecretSize = 32;
using X25519PublicKey = std::array<std::uint8_t, kX25519KeySize>;

// An X25519 secret imported once, for any number of exchanges. Copies share the imported key;
// safe for concurrent use.
class X25519PrivateKey {
 public:
  // Any 32 bytes are a secret: clamping happens inside the X25519 function (RFC 7748, 5).
  [[nodiscard]] static common::Result<X25519PrivateKey, CryptoError> from_bytes(
      std::span<const std::uint8_t> secret);
  // A fresh secret from the operating system's random source.
  [[nodiscard]] static common::Result<X25519PrivateKey, CryptoError> generate();

  const X25519PublicKey& public_key() const noexcept { return public_; }

  // The shared secret with `peer_public` (32 bytes; the top bit is ignored, RFC 7748, 5).
  // A peer key of small order gives the all-zero secret, which would let the peer fix the
  // outcome; it is refused as InvalidKey (RFC 7748, section 6.1).
  [[nodiscard]] common::Result<common::SecureBytes, CryptoError> diffie_hellman(
      std::span<const std::uint8_t> peer_public) const;

 private:
  X25519PrivateKey(PkeyRef key, const X25519PublicKey& pub) noexcept : key_(std::move(key)), public_(pub) {}
  PkeyRef key_;
  X25519PublicKey public_{};
};

}  // namespace ostrel::crypto
