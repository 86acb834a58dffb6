#pragma once
// Owning handles for OpenSSL objects, so that every exit path frees them.
#include <memory>
#include <utility>

#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace ostrel::crypto {

template <class T, void (*Free)(T*)>
struct OpensslDeleter {
  void operator()(T* p) const noexcept { Free(p); }
};

using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpensslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpensslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, OpensslDeleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, OpensslDeleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

// A shared reference to an immutable EVP_PKEY. OpenSSL counts references itself, so copies
// share one imported key; OpenSSL wipes private key material when the last one is freed.
// Using one EVP_PKEY from several threads at once is safe as long as nobody modifies it, and
// nothing here does.
class PkeyRef {
 public:
  PkeyRef() = default;
  explicit PkeyRef(EVP_PKEY* owned) noexcept : p_(owned) {}
  PkeyRef(const PkeyRef& o) noexcept : p_(o.p_) {
    if (p_ != nullptr) EVP_PKEY_up_ref(p_);
  }
  PkeyRef(PkeyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PkeyRef& operator=(PkeyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PkeyRef() { EVP_PKEY_free(p_); }

  EVP_PKEY* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  EVP_PKEY* p_ = nullptr;
};

}  // namespace ostrel::crypto
