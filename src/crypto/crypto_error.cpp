#include "crypto/crypto_error.hpp"

#include <charconv>

namespace ostrel::crypto {

std::string CryptoError::display() const {
  // The random-source text is quoted verbatim by key generation errors above this layer.
  const auto with_detail = [this](std::string text) {
    if (!detail.empty()) {
      text += ": ";
      text += detail;
    }
    return text;
  };
  switch (kind) {
    case Kind::RandomSource:
      return "OS RNG failed: " + detail;
    case Kind::InvalidLength:
      return with_detail("invalid length");
    case Kind::InvalidKey:
      return with_detail("invalid key");
    case Kind::InvalidEncoding:
      return with_detail("invalid encoding");
    case Kind::VerificationFailed:
      return with_detail("signature verification failed");
    case Kind::DecryptionFailed:
      return with_detail("decryption failed");
    case Kind::Backend:
      return with_detail("cryptographic backend failure");
  }
  return with_detail("unknown cryptographic error");
}

namespace {
void append_number(std::string& out, std::size_t n) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, res.ptr);
}
}  // namespace

CryptoError CryptoError::invalid_length(std::string_view what, std::size_t expected,
                                        std::size_t got) {
  std::string detail(what);
  detail += ": expected ";
  append_number(detail, expected);
  detail += " bytes, got ";
  append_number(detail, got);
  return CryptoError{Kind::InvalidLength, std::move(detail)};
}

}  // namespace ostrel::crypto
