#pragma once
// HKDF with HMAC-SHA-256 (RFC 5869).
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "common/secure_bytes.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

inline constexpr std::size_t kHkdfSha256PrkSize = 32;
// RFC 5869, section 2.3: L <= 255 * HashLen.
inline constexpr std::size_t kHkdfSha256MaxOutput = 255 * 32;

// Extract-then-expand, filling all of `out` (1 to kHkdfSha256MaxOutput bytes; other lengths
// are InvalidLength). An empty salt means HashLen zero bytes, as in RFC 5869. On failure `out`
// is wiped.
[[nodiscard]] common::Result<void, CryptoError> hkdf_sha256(std::span<const std::uint8_t> ikm,
                                                           std::span<const std::uint8_t> salt,
                                                           std::span<const std::uint8_t> info,
                                                           std::span<std::uint8_t> out);

[[nodiscard]] common::Result<common::SecureBytes, CryptoError> hkdf_sha256(
    std::span<const std::uint8_t> ikm, std::span<const std::uint8_t> salt,
    std::span<const std::uint8_t> info, std::size_t length);

// The two halves, for callers that expand one pseudorandom key several times.
[[nodiscard]] common::Result<common::SecureBytes, CryptoError> hkdf_sha256_extract(
    std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm);
// `prk` must be at least kHkdfSha256PrkSize bytes (RFC 5869, section 2.3).
[[nodiscard]] common::Result<void, CryptoError> hkdf_sha256_expand(
    std::span<const std::uint8_t> prk, std::span<const std::uint8_t> info,
    std::span<std::uint8_t> out);

}  // namespace ostrel::crypto
