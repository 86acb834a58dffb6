#include "crypto/classical/openssl_error.hpp"

#include <openssl/err.h>

#include <string>

namespace ostrel::crypto {

CryptoError openssl_error(CryptoError::Kind kind, std::string_view what) {
  std::string detail(what);
  bool first = true;
  const char* data = nullptr;
  int flags = 0;
  while (const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) {
    detail += first ? ": " : "; ";
    first = false;
    // The library name alone says nothing the wrapper's context does not already say.
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) {
      detail += reason;
    } else {
      char buf[256];
      ERR_error_string_n(code, buf, sizeof buf);
      detail += buf;
    }
    if (data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') {
      detail += " (";
      detail += data;
      detail += ')';
    }
  }
  return CryptoError{kind, std::move(detail)};
}

void discard_openssl_errors() noexcept { ERR_clear_error(); }

}  // namespace ostrel::crypto
