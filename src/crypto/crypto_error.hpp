#pragma once
#include <string>

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
};

}  // namespace ostrel::crypto
