#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace ostrel::crypto {

// Failures of the primitives. Callers above (keys, signatures, encryption) wrap them in their
// own error kinds with their own context.
struct CryptoError {
  enum class Kind {
    RandomSource,        // the operating system's random source failed; detail: its error text
    InvalidLength,       // an input of fixed size had another size
    InvalidKey,          // a key failed its validity check (e.g. ML-KEM modulus check)
    InvalidEncoding,     // a signature or point is malformed (e.g. bad ML-DSA hint encoding)
    VerificationFailed,  // a signature does not verify
    DecryptionFailed,    // an AEAD tag does not match
    Backend,             // OpenSSL reported a failure; detail: its error queue, emptied
  };
  Kind kind;
  std::string detail;
  std::string display() const;

  // InvalidLength with detail "{what}: expected {expected} bytes, got {got}".
  [[nodiscard]] static CryptoError invalid_length(std::string_view what, std::size_t expected,
                                                  std::size_t got);
};

}  // namespace ostrel::crypto
