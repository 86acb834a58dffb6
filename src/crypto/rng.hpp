#pragma once
// The operating system's random source, the only source of randomness for keys, nonces and
// signing randomness.
#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

// Fills `out` entirely from getrandom(2), blocking until the kernel pool is initialised.
// On failure `out` is wiped (never left half filled with usable bytes) and the error is
// RandomSource with the system's error text.
[[nodiscard]] common::Result<void, CryptoError> random_bytes(std::span<std::uint8_t> out);

// Failure injection, for tests only: makes every random draw of an operation fail in turn.
// Process-wide: while armed, random draws on any thread are counted, so a test using it must
// not draw randomness concurrently elsewhere. When disarmed (always, outside such tests)
// random_bytes pays one relaxed atomic load for it.
namespace testing {

// Arms the hook: counting starts from zero and the `fail_at`-th draw from now (1-based)
// fails with RandomSource; `fail_at` 0 only counts.
void arm_random_failure(std::uint64_t fail_at) noexcept;
void disarm_random_failure() noexcept;
// Calls to random_bytes since the hook was last armed.
[[nodiscard]] std::uint64_t random_draws() noexcept;

// Arms on construction, disarms on destruction.
class RandomFailureScope {
 public:
  explicit RandomFailureScope(std::uint64_t fail_at) noexcept { arm_random_failure(fail_at); }
  RandomFailureScope(const RandomFailureScope&) = delete;
  RandomFailureScope& operator=(const RandomFailureScope&) = delete;
  ~RandomFailureScope() { disarm_random_failure(); }
  [[nodiscard]] std::uint64_t draws() const noexcept { return random_draws(); }
};

}  // namespace testing
}  // namespace ostrel::crypto
