#pragma once
// The ChaCha20-Poly1305 AEAD (RFC 8439, section 2.8) with a 96-bit nonce.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

inline constexpr std::size_t kChaCha20Poly1305KeySize = 32;
inline constexpr std::size_t kChaCha20Poly1305NonceSize = 12;
inline constexpr std::size_t kChaCha20Poly1305TagSize = 16;
// The 32-bit block counter starts at 1 for the payload: (2^32 - 1) blocks of 64 bytes.
inline constexpr std::uint64_t kChaCha20Poly1305MaxPlaintext = (std::uint64_t{1} << 38) - 64;

// Encrypts `plaintext` and authenticates it with `aad`; the result is the ciphertext followed
// by the 16-byte tag. A nonce must never repeat under one key.
[[nodiscard]] common::Result<std::vector<std::uint8_t>, CryptoError> chacha20_poly1305_seal(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad);

// Checks the tag of `sealed` (ciphertext || tag) with `aad` and returns the plaintext.
// Any mismatch is DecryptionFailed, and no byte of unauthenticated plaintext is returned.
[[nodiscard]] common::Result<std::vector<std::uint8_t>, CryptoError> chacha20_poly1305_open(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad);

// The same into caller buffers (e.g. SecureBytes for secret plaintexts): `out` must be
// exactly plaintext.size() + 16, respectively sealed.size() - 16 bytes. On failure `out` is
// wiped.
[[nodiscard]] common::Result<void, CryptoError> chacha20_poly1305_seal_into(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad,
    std::span<std::uint8_t> out);
[[nodiscard]] common::Result<void, CryptoError> chacha20_poly1305_open_into(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad,
    std::span<std::uint8_t> out);

}  // namespace ostrel::crypto
