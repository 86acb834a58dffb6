#pragma once
// SHA-256 (FIPS 180-4), one-shot and incremental.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "crypto/classical/evp_handles.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

inline constexpr std::size_t kSha256DigestSize = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

[[nodiscard]] common::Result<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data);

// Incremental hashing for inputs that arrive in pieces. Not for concurrent use; copies hash
// independently from the point they were copied.
class Sha256 {
 public:
  [[nodiscard]] static common::Result<Sha256, CryptoError> create();

  Sha256(const Sha256& o);
  Sha256& operator=(const Sha256& o);
  Sha256(Sha256&&) noexcept = default;
  Sha256& operator=(Sha256&&) noexcept = default;
  ~Sha256() = default;

  [[nodiscard]] common::Result<void, CryptoError> update(std::span<const std::uint8_t> data);
  // The digest of everything given since creation or the last finish; the hasher then starts
  // over, empty, so one object can hash many messages.
  [[nodiscard]] common::Result<Sha256Digest, CryptoError> finish();

 private:
  explicit Sha256(MdCtxPtr ctx) noexcept : ctx_(std::move(ctx)) {}
  MdCtxPtr ctx_;
  // Set when the context is in an unknown state (a failed copy, finish or restart); every
  // later call then fails instead of hashing from that state.
  bool broken_ = false;
};

}  // namespace ostrel::crypto
