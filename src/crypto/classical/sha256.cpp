#include "crypto/classical/sha256.hpp"

#include <openssl/evp.h>

#include "crypto/classical/openssl_error.hpp"

namespace ostrel::crypto {
namespace {

using Kind = CryptoError::Kind;

// Fetched once: passing EVP_sha256() instead would repeat the provider lookup on every init.
const EVP_MD* sha256_md() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  return md;
}

common::Result<void, CryptoError> init(EVP_MD_CTX* ctx) {
  const EVP_MD* md = sha256_md();
  if (md == nullptr) return common::fail(openssl_error(Kind::Backend, "SHA-256 unavailable"));
  if (EVP_DigestInit_ex(ctx, md, nullptr) != 1)
    return common::fail(openssl_error(Kind::Backend, "SHA-256 init"));
  return {};
}

CryptoError broken_error() {
  return CryptoError{Kind::Backend, "SHA-256 hasher unusable after an earlier failure"};
}

}  // namespace

common::Result<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data) {
  const EVP_MD* md = sha256_md();
  if (md == nullptr) return common::fail(openssl_error(Kind::Backend, "SHA-256 unavailable"));
  Sha256Digest out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) != 1 ||
      len != out.size())
    return common::fail(openssl_error(Kind::Backend, "SHA-256"));
  return out;
}

common::Result<Sha256, CryptoError> Sha256::create() {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx) return common::fail(openssl_error(Kind::Backend, "SHA-256 context"));
  if (auto r = init(ctx.get()); !r) return common::fail(std::move(r.error()));
  return Sha256(std::move(ctx));
}

Sha256::Sha256(const Sha256& o) : ctx_(EVP_MD_CTX_new()), broken_(o.broken_) {
  // A copy that cannot be made is marked broken rather than thrown: errors stay values.
  if (!ctx_ || !o.ctx_ || EVP_MD_CTX_copy_ex(ctx_.get(), o.ctx_.get()) != 1) {
    discard_openssl_errors();
    broken_ = true;
  }
}

Sha256& Sha256::operator=(const Sha256& o) {
  if (this != &o) {
    Sha256 tmp(o);
    *this = std::move(tmp);
  }
  return *this;
}

common::Result<void, CryptoError> Sha256::update(std::span<const std::uint8_t> data) {
  if (broken_ || !ctx_) return common::fail(broken_error());
  if (EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) != 1)
    return common::fail(openssl_error(Kind::Backend, "SHA-256 update"));
  return {};
}

common::Result<Sha256Digest, CryptoError> Sha256::finish() {
  if (broken_ || !ctx_) return common::fail(broken_error());
  Sha256Digest out{};
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1 || len != out.size()) {
    broken_ = true;
    return common::fail(openssl_error(Kind::Backend, "SHA-256 final"));
  }
  if (auto r = init(ctx_.get()); !r) {
    // The digest is good; only the restart failed, which the next call will report.
    discard_openssl_errors();
    broken_ = true;
  }
  return out;
}

}  // namespace ostrel::crypto
