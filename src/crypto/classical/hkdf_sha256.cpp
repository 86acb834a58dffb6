#include "crypto/classical/hkdf_sha256.hpp"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <array>
#include <string>

#include "crypto/classical/evp_handles.hpp"
#include "crypto/classical/openssl_error.hpp"

namespace ostrel::crypto {
namespace {

using Kind = CryptoError::Kind;

const EVP_KDF* hkdf_kdf() {
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  return kdf;
}

// OSSL_PARAM takes non-const pointers, but OpenSSL only reads (and copies) octet-string
// inputs passed to EVP_KDF_derive.
OSSL_PARAM octets(const char* key, std::span<const std::uint8_t> s) {
  static std::uint8_t empty = 0;
  void* p = s.empty() ? &empty : const_cast<std::uint8_t*>(s.data());
  return OSSL_PARAM_construct_octet_string(key, p, s.size());
}

// One EVP_KDF call in the given mode. `key` is the IKM (extract modes) or the PRK (expand
// only); OpenSSL keeps its own copies of secret inputs and wipes them when the context is freed.
common::Result<void, CryptoError> derive(int mode, std::span<const std::uint8_t> key,
                                         std::span<const std::uint8_t> salt,
                                         std::span<const std::uint8_t> info,
                                         std::span<std::uint8_t> out, const char* what) {
  const EVP_KDF* kdf = hkdf_kdf();
  if (kdf == nullptr) return common::fail(openssl_error(Kind::Backend, "HKDF unavailable"));
  KdfCtxPtr ctx(EVP_KDF_CTX_new(const_cast<EVP_KDF*>(kdf)));
  if (!ctx) return common::fail(openssl_error(Kind::Backend, what));

  char digest[] = "SHA2-256";
  std::array<OSSL_PARAM, 6> params{};
  std::size_t n = 0;
  params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = octets(OSSL_KDF_PARAM_KEY, key);
  // Expand-only has no salt; an empty salt is what RFC 5869 calls "not provided".
  if (mode != EVP_KDF_HKDF_MODE_EXPAND_ONLY && !salt.empty())
    params[n++] = octets(OSSL_KDF_PARAM_SALT, salt);
  if (mode != EVP_KDF_HKDF_MODE_EXTRACT_ONLY && !info.empty())
    params[n++] = octets(OSSL_KDF_PARAM_INFO, info);
  params[n] = OSSL_PARAM_construct_end();

  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) != 1) {
    common::secure_wipe(out);
    return common::fail(openssl_error(Kind::Backend, what));
  }
  return {};
}

common::Result<void, CryptoError> check_output_length(std::size_t n) {
  if (n == 0 || n > kHkdfSha256MaxOutput) {
    std::string detail = "HKDF-SHA-256 output must be 1 to 8160 bytes, got ";
    detail += std::to_string(n);
    return common::fail(CryptoError{Kind::InvalidLength, std::move(detail)});
  }
  return {};
}

}  // namespace

common::Result<void, CryptoError> hkdf_sha256(std::span<const std::uint8_t> ikm,
                                              std::span<const std::uint8_t> salt,
                                              std::span<const std::uint8_t> info,
                                              std::span<std::uint8_t> out) {
  if (auto r = check_output_length(out.size()); !r) {
    common::secure_wipe(out);
    return r;
  }
  return derive(EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND, ikm, salt, info, out, "HKDF-SHA-256");
}

common::Result<common::SecureBytes, CryptoError> hkdf_sha256(std::span<const std::uint8_t> ikm,
                                                             std::span<const std::uint8_t> salt,
                                                             std::span<const std::uint8_t> info,
                                                             std::size_t length) {
  if (auto r = check_output_length(length); !r) return common::fail(std::move(r.error()));
  common::SecureBytes out(length);
  if (auto r = hkdf_sha256(ikm, salt, info, out.span()); !r) return common::fail(std::move(r.error()));
  return out;
}

common::Result<common::SecureBytes, CryptoError> hkdf_sha256_extract(
    std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm) {
  common::SecureBytes prk(kHkdfSha256PrkSize);
  if (auto r = derive(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, ikm, salt, {}, prk.span(), "HKDF-SHA-256 extract");
      !r)
    return common::fail(std::move(r.error()));
  return prk;
}

common::Result<void, CryptoError> hkdf_sha256_expand(std::span<const std::uint8_t> prk,
                                                     std::span<const std::uint8_t> info,
                                                     std::span<std::uint8_t> out) {
  if (prk.size() < kHkdfSha256PrkSize) {
    common::secure_wipe(out);
    std::string detail = "HKDF-SHA-256 pseudorandom key must be at least 32 bytes, got ";
    detail += std::to_string(prk.size());
    return common::fail(CryptoError{Kind::InvalidLength, std::move(detail)});
  }
  if (auto r = check_output_length(out.size()); !r) {
    common::secure_wipe(out);
    return r;
  }
  return derive(EVP_KDF_HKDF_MODE_EXPAND_ONLY, prk, {}, info, out, "HKDF-SHA-256 expand");
}

}  // namespace ostrel::crypto
