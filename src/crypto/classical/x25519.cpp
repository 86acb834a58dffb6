#include "crypto/classical/x25519.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/proverr.h>

#include "crypto/classical/openssl_error.hpp"
#include "crypto/ct.hpp"
#include "crypto/rng.hpp"

namespace ostrel::crypto {
namespace {
using Kind = CryptoError::Kind;
}  // namespace

common::Result<X25519PrivateKey, CryptoError> X25519PrivateKey::from_bytes(
    std::span<const std::uint8_t> secret) {
  if (secret.size() != kX25519KeySize)
    return common::fail(CryptoError::invalid_length("X25519 secret key", kX25519KeySize, secret.size()));
  PkeyRef key(EVP_PKEY_new_raw_private_key_ex(nullptr, "X25519", nullptr, secret.data(), secret.size()));
  if (!key) return common::fail(openssl_error(Kind::Backend, "X25519 secret key import"));
  X25519PublicKey pub{};
  std::size_t len = pub.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != pub.size())
    return common::fail(openssl_error(Kind::Backend, "X25519 public key"));
  return X25519PrivateKey(std::move(key), pub);
}

common::Result<X25519PrivateKey, CryptoError> X25519PrivateKey::generate() {
  std::array<std::uint8_t, kX25519KeySize> secret{};
  common::WipeOnExit wipe(secret);
  if (auto r = random_bytes(secret); !r) return common::fail(std::move(r.error()));
  return from_bytes(secret);
}

common::Result<common::SecureBytes, CryptoError> X25519PrivateKey::diffie_hellman(
    std::span<const std::uint8_t> peer_public) const {
  if (peer_public.size() != kX25519KeySize)
    return common::fail(CryptoError::invalid_length("X25519 public key", kX25519KeySize, peer_public.size()));
  PkeyRef peer(EVP_PKEY_new_raw_public_key_ex(nullptr, "X25519", nullptr, peer_public.data(),
                                              peer_public.size()));
  if (!peer) return common::fail(openssl_error(Kind::Backend, "X25519 public key import"));
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1)
    return common::fail(openssl_error(Kind::Backend, "X25519"));

  common::SecureBytes shared(kX25519SharedSecretSize);
  std::size_t len = shared.size();
  if (EVP_PKEY_derive(ctx.get(), shared.data(), &len) != 1) {
    // OpenSSL refuses the all-zero result itself, reporting it as this reason.
    if (ERR_GET_REASON(ERR_peek_last_error()) == PROV_R_FAILED_DURING_DERIVATION) {
      discard_openssl_errors();
      return common::fail(CryptoError{Kind::InvalidKey,
                                      "X25519 peer public key of small order (all-zero shared secret)"});
    }
    return common::fail(openssl_error(Kind::Backend, "X25519"));
  }
  if (len != shared.size())
    return common::fail(CryptoError{Kind::Backend, "X25519: unexpected shared secret length"});
  // Checked here as well, so the guarantee does not rest on one backend's behaviour.
  if (ct_is_zero(shared.span()))
    return common::fail(CryptoError{Kind::InvalidKey,
                                    "X25519 peer public key of small order (all-zero shared secret)"});
  return shared;
}

}  // namespace ostrel::crypto
