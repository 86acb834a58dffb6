#pragma once
// OpenSSL reports failures on a thread-local error queue. Left there, they would surface in an
// unrelated later call (possibly in the host's own OpenSSL use); every wrapper therefore moves
// the queue into the error it returns.
#include <string_view>

#include "crypto/crypto_error.hpp"

namespace ostrel::crypto {

// Empties this thread's error queue into a CryptoError of `kind` whose detail is `what`,
// followed by the queued reasons ("what: reason; reason").
[[nodiscard]] CryptoError openssl_error(CryptoError::Kind kind, std::string_view what);

// Empties this thread's error queue, for failures whose reasons add nothing for the caller
// (a signature that does not verify).
void discard_openssl_errors() noexcept;

}  // namespace ostrel::crypto
