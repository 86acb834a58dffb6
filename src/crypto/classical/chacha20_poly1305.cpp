#include "crypto/classical/chacha20_poly1305.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string>

#include "common/secure_bytes.hpp"
#include "crypto/classical/evp_handles.hpp"
#include "crypto/classical/openssl_error.hpp"

namespace ostrel::crypto {
namespace {

using Kind = CryptoError::Kind;

// EVP_*Update take int lengths; longer inputs go through in pieces. ChaCha20-Poly1305 is a
// stream construction, so the piece boundaries need no alignment.
constexpr std::size_t kMaxPiece = std::size_t{1} << 30;
static_assert(kMaxPiece <= INT_MAX);

const EVP_CIPHER* cipher() {
  static EVP_CIPHER* const c = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
  return c;
}

// Wipes a buffer that may hold unauthenticated or partial output unless the operation
// completed.
class WipeUnlessDone {
 public:
  explicit WipeUnlessDone(std::span<std::uint8_t> s) noexcept : s_(s) {}
  WipeUnlessDone(const WipeUnlessDone&) = delete;
  WipeUnlessDone& operator=(const WipeUnlessDone&) = delete;
  ~WipeUnlessDone() {
    if (!done_) common::secure_wipe(s_);
  }
  void done() noexcept { done_ = true; }

 private:
  std::span<std::uint8_t> s_;
  bool done_ = false;
};

common::Result<void, CryptoError> check_key_nonce(std::span<const std::uint8_t> key,
                                                  std::span<const std::uint8_t> nonce) {
  if (key.size() != kChaCha20Poly1305KeySize)
    return common::fail(
        CryptoError::invalid_length("ChaCha20-Poly1305 key", kChaCha20Poly1305KeySize, key.size()));
  if (nonce.size() != kChaCha20Poly1305NonceSize)
    return common::fail(CryptoError::invalid_length("ChaCha20-Poly1305 nonce",
                                                    kChaCha20Poly1305NonceSize, nonce.size()));
  return {};
}

using UpdateFn = int (*)(EVP_CIPHER_CTX*, unsigned char*, int*, const unsigned char*, int);

// Feeds `in` in pieces; `out` null means associated data. Returns false on any failure.
bool update_all(EVP_CIPHER_CTX* ctx, UpdateFn update, std::span<const std::uint8_t> in,
                std::uint8_t* out) {
  std::size_t done = 0;
  while (done < in.size()) {
    const std::size_t piece = std::min(kMaxPiece, in.size() - done);
    int written = 0;
    if (update(ctx, out == nullptr ? nullptr : out + done, &written, in.data() + done,
               static_cast<int>(piece)) != 1)
      return false;
    if (out != nullptr && static_cast<std::size_t>(written) != piece) return false;
    done += piece;
  }
  return true;
}

}  // namespace

common::Result<void, CryptoError> chacha20_poly1305_seal_into(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad,
    std::span<std::uint8_t> out) {
  WipeUnlessDone guard(out);
  if (auto r = check_key_nonce(key, nonce); !r) return r;
  if (plaintext.size() > kChaCha20Poly1305MaxPlaintext)
    return common::fail(CryptoError{Kind::InvalidLength,
                                    "ChaCha20-Poly1305 plaintext longer than 2^38 - 64 bytes"});
  if (out.size() != plaintext.size() + kChaCha20Poly1305TagSize)
    return common::fail(CryptoError::invalid_length(
        "ChaCha20-Poly1305 output", plaintext.size() + kChaCha20Poly1305TagSize, out.size()));

  const EVP_CIPHER* c = cipher();
  if (c == nullptr) return common::fail(openssl_error(Kind::Backend, "ChaCha20-Poly1305 unavailable"));
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), c, key.data(), nonce.data(), nullptr) != 1 ||
      !update_all(ctx.get(), EVP_EncryptUpdate, aad, nullptr) ||
      !update_all(ctx.get(), EVP_EncryptUpdate, plaintext, out.data()))
    return common::fail(openssl_error(Kind::Backend, "ChaCha20-Poly1305 encrypt"));
  int final_len = 0;
  std::uint8_t* tag = out.data() + plaintext.size();
  if (EVP_EncryptFinal_ex(ctx.get(), tag, &final_len) != 1 || final_len != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kChaCha20Poly1305TagSize, tag) != 1)
    return common::fail(openssl_error(Kind::Backend, "ChaCha20-Poly1305 encrypt"));
  guard.done();
  return {};
}

common::Result<void, CryptoError> chacha20_poly1305_open_into(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad,
    std::span<std::uint8_t> out) {
  // Decryption writes plaintext before the tag is checked: it must not survive a mismatch.
  WipeUnlessDone guard(out);
  if (auto r = check_key_nonce(key, nonce); !r) return r;
  if (sealed.size() < kChaCha20Poly1305TagSize)
    return common::fail(CryptoError{Kind::DecryptionFailed, "sealed data shorter than the tag"});
  const std::size_t ct_len = sealed.size() - kChaCha20Poly1305TagSize;
  if (ct_len > kChaCha20Poly1305MaxPlaintext)
    return common::fail(CryptoError{Kind::DecryptionFailed,
                                    "ciphertext longer than ChaCha20-Poly1305 can produce"});
  if (out.size() != ct_len)
    return common::fail(CryptoError::invalid_length("ChaCha20-Poly1305 output", ct_len, out.size()));

  const EVP_CIPHER* c = cipher();
  if (c == nullptr) return common::fail(openssl_error(Kind::Backend, "ChaCha20-Poly1305 unavailable"));
  // The control call takes a mutable pointer.
  std::array<std::uint8_t, kChaCha20Poly1305TagSize> tag{};
  std::copy(sealed.begin() + static_cast<std::ptrdiff_t>(ct_len), sealed.end(), tag.begin());
  CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_DecryptInit_ex2(ctx.get(), c, key.data(), nonce.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kChaCha20Poly1305TagSize, tag.data()) != 1 ||
      !update_all(ctx.get(), EVP_DecryptUpdate, aad, nullptr) ||
      !update_all(ctx.get(), EVP_DecryptUpdate, sealed.first(ct_len), out.data()))
    return common::fail(openssl_error(Kind::Backend, "ChaCha20-Poly1305 decrypt"));
  int final_len = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out.data() + ct_len, &final_len) != 1 || final_len != 0) {
    discard_openssl_errors();
    return common::fail(CryptoError{Kind::DecryptionFailed, "authentication tag mismatch"});
  }
  guard.done();
  return {};
}

common::Result<std::vector<std::uint8_t>, CryptoError> chacha20_poly1305_seal(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> aad) {
  if (auto r = check_key_nonce(key, nonce); !r) return common::fail(std::move(r.error()));
  if (plaintext.size() > kChaCha20Poly1305MaxPlaintext)
    return common::fail(CryptoError{Kind::InvalidLength,
                                    "ChaCha20-Poly1305 plaintext longer than 2^38 - 64 bytes"});
  std::vector<std::uint8_t> out(plaintext.size() + kChaCha20Poly1305TagSize);
  if (auto r = chacha20_poly1305_seal_into(key, nonce, plaintext, aad, out); !r)
    return common::fail(std::move(r.error()));
  return out;
}

common::Result<std::vector<std::uint8_t>, CryptoError> chacha20_poly1305_open(
    std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
    std::span<const std::uint8_t> sealed, std::span<const std::uint8_t> aad) {
  // A too-short input gets an empty buffer and the same error the checks below report.
  std::vector<std::uint8_t> out(
      sealed.size() >= kChaCha20Poly1305TagSize ? sealed.size() - kChaCha20Poly1305TagSize : 0);
  if (auto r = chacha20_poly1305_open_into(key, nonce, sealed, aad, out); !r)
    return common::fail(std::move(r.error()));
  return out;
}

}  // namespace ostrel::crypto
