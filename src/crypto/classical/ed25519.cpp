#include "crypto/classical/ed25519.hpp"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

#include "crypto/classical/openssl_error.hpp"
#include "crypto/rng.hpp"

namespace ostrel::crypto {
namespace {

using Kind = CryptoError::Kind;

using BnCtxPtr = std::unique_ptr<BN_CTX, OpensslDeleter<BN_CTX, BN_CTX_free>>;

// Whether `enc` is the encoding of a curve point, following the decoding of RFC 8032, 5.1.3.
// OpenSSL imports any 32 bytes as an Ed25519 public key and only fails later, inside each
// verification; checking here lets a bad key be reported as a bad key, once. Public data, so
// variable-time big-number arithmetic is fine.
common::Result<bool, CryptoError> is_point_encoding(std::span<const std::uint8_t, 32> enc) {
  const BnCtxPtr ctx(BN_CTX_new());
  if (!ctx) return common::fail(openssl_error(Kind::Backend, "Ed25519 public key check"));
  BN_CTX_start(ctx.get());
  struct End {
    BN_CTX* c;
    ~End() { BN_CTX_end(c); }
  } end{ctx.get()};
  BIGNUM* p = BN_CTX_get(ctx.get());
  BIGNUM* d = BN_CTX_get(ctx.get());
  BIGNUM* y = BN_CTX_get(ctx.get());
  BIGNUM* y2 = BN_CTX_get(ctx.get());
  BIGNUM* u = BN_CTX_get(ctx.get());
  BIGNUM* v = BN_CTX_get(ctx.get());
  const auto fail = [] { return common::fail(openssl_error(Kind::Backend, "Ed25519 public key check")); };
  if (v == nullptr) return fail();

  // p = 2^255 - 19; d = -121665 / 121666 mod p (RFC 8032, 5.1).
  if (BN_hex2bn(&p, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed") == 0 ||
      BN_hex2bn(&d, "52036cee2b6ffe738cc740797779e89800700a4d4141d8ab75eb4dca135978a3") == 0)
    return fail();
  // 5.1.3, step 1: y is the low 255 bits, little-endian; x_0 the top bit.
  std::array<std::uint8_t, 32> y_bytes{};
  std::copy(enc.begin(), enc.end(), y_bytes.begin());
  const bool x0 = (y_bytes[31] & 0x80) != 0;
  y_bytes[31] &= 0x7F;
  if (BN_lebin2bn(y_bytes.data(), static_cast<int>(y_bytes.size()), y) == nullptr) return fail();
  if (BN_cmp(y, p) >= 0) return false;
  // Step 2: x^2 = u / v with u = y^2 - 1, v = d y^2 + 1; v is never zero since d is not a
  // square mod p.
  if (BN_mod_sqr(y2, y, p, ctx.get()) != 1 || BN_mod_sub(u, y2, BN_value_one(), p, ctx.get()) != 1 ||
      BN_mod_mul(v, d, y2, p, ctx.get()) != 1 || BN_mod_add(v, v, BN_value_one(), p, ctx.get()) != 1)
    return fail();
  // Step 4: x = 0 has no negative; an encoding that asks for one is invalid.
  if (BN_is_zero(u)) return !x0;
  // Step 3: a root x exists iff u / v is a square mod p, i.e. iff u v is (the symbol of 1/v
  // equals that of v). The Jacobi symbol is far cheaper than the exponentiation of the RFC.
  if (BN_mod_mul(u, u, v, p, ctx.get()) != 1) return fail();
  const int symbol = BN_kronecker(u, p, ctx.get());
  if (symbol == -2) return fail();
  return symbol == 1;
}

}  // namespace

common::Result<Ed25519PublicKey, CryptoError> Ed25519PublicKey::from_bytes(
    std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kEd25519PublicKeySize)
    return common::fail(
        CryptoError::invalid_length("Ed25519 public key", kEd25519PublicKeySize, bytes.size()));
  const auto fixed = bytes.first<kEd25519PublicKeySize>();
  auto point = is_point_encoding(fixed);
  if (!point) return common::fail(std::move(point.error()));
  if (!*point)
    return common::fail(CryptoError{Kind::InvalidEncoding, "Ed25519 public key is not a curve point"});
  PkeyRef key(EVP_PKEY_new_raw_public_key_ex(nullptr, "ED25519", nullptr, fixed.data(), fixed.size()));
  if (!key) return common::fail(openssl_error(Kind::Backend, "Ed25519 public key import"));
  Ed25519PublicKeyBytes copy{};
  std::copy(fixed.begin(), fixed.end(), copy.begin());
  return Ed25519PublicKey(std::move(key), copy);
}

common::Result<void, CryptoError> Ed25519PublicKey::verify(
    std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature) const {
  if (signature.size() != kEd25519SignatureSize)
    return common::fail(
        CryptoError::invalid_length("Ed25519 signature", kEd25519SignatureSize, signature.size()));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key_.get(),
                                      nullptr) != 1)
    return common::fail(openssl_error(Kind::Backend, "Ed25519 verify init"));
  if (EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                       message.size()) != 1) {
    discard_openssl_errors();
    return common::fail(CryptoError{Kind::VerificationFailed, ""});
  }
  return {};
}

common::Result<Ed25519PrivateKey, CryptoError> Ed25519PrivateKey::from_seed(
    std::span<const std::uint8_t> seed) {
  if (seed.size() != kEd25519SeedSize)
    return common::fail(CryptoError::invalid_length("Ed25519 seed", kEd25519SeedSize, seed.size()));
  PkeyRef key(EVP_PKEY_new_raw_private_key_ex(nullptr, "ED25519", nullptr, seed.data(), seed.size()));
  if (!key) return common::fail(openssl_error(Kind::Backend, "Ed25519 seed import"));
  Ed25519PublicKeyBytes pub{};
  std::size_t len = pub.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &len) != 1 || len != pub.size())
    return common::fail(openssl_error(Kind::Backend, "Ed25519 public key"));
  // The EVP_PKEY holds the public half too, so the verifier shares it.
  Ed25519PublicKey verifier(key, pub);
  return Ed25519PrivateKey(std::move(key), std::move(verifier));
}

common::Result<Ed25519PrivateKey, CryptoError> Ed25519PrivateKey::generate() {
  std::array<std::uint8_t, kEd25519SeedSize> seed{};
  common::WipeOnExit wipe(seed);
  if (auto r = random_bytes(seed); !r) return common::fail(std::move(r.error()));
  return from_seed(seed);
}

common::Result<common::SecureBytes, CryptoError> Ed25519PrivateKey::seed() const {
  common::SecureBytes out(kEd25519SeedSize);
  std::size_t len = out.size();
  if (EVP_PKEY_get_raw_private_key(key_.get(), out.data(), &len) != 1 || len != out.size())
    return common::fail(openssl_error(Kind::Backend, "Ed25519 seed export"));
  return out;
}

common::Result<Ed25519Signature, CryptoError> Ed25519PrivateKey::sign(
    std::span<const std::uint8_t> message) const {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key_.get(),
                                    nullptr) != 1)
    return common::fail(openssl_error(Kind::Backend, "Ed25519 sign init"));
  Ed25519Signature sig{};
  std::size_t len = sig.size();
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, message.data(), message.size()) != 1 ||
      len != sig.size())
    return common::fail(openssl_error(Kind::Backend, "Ed25519 sign"));
  return sig;
}

}  // namespace ostrel::crypto
