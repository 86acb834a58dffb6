#include "crypto/classical/chacha20_poly1305.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "crypto/classical_wycheproof.hpp"
#include "crypto/rng.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

using ostrel::testing::hex_field;
using ostrel::testing::openssl_error_queue_empty;
using Bytes = std::vector<std::uint8_t>;
using Kind = CryptoError::Kind;

Bytes random_vec(std::size_t n) {
  Bytes v(n);
  EXPECT_TRUE(random_bytes(v).has_value());
  return v;
}

bool all_zero(std::span<const std::uint8_t> s) {
  return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// Valid: sealing gives exactly ct || tag and opening gives the message back. Invalid:
// ModifiedTag must not open; InvalidNonceSize groups (nonces other than 96 bits) are refused
// for both directions. The file has no "acceptable" cases.
TEST(ChaCha20Poly1305, Wycheproof) {
  const auto file = ostrel::testing::VectorFile::load("wycheproof/chacha20_poly1305_test.json");
  std::size_t valid = 0, invalid = 0;
  const auto n = ostrel::testing::for_each_wycheproof_case(file, [&](const auto& c) {
    const auto key = hex_field(c.test, "key");
    const auto iv = hex_field(c.test, "iv");
    const auto aad = hex_field(c.test, "aad");
    const auto msg = hex_field(c.test, "msg");
    auto sealed = hex_field(c.test, "ct");
    const auto tag = hex_field(c.test, "tag");
    sealed.insert(sealed.end(), tag.begin(), tag.end());

    auto opened = chacha20_poly1305_open(key, iv, sealed, aad);
    if (c.result == "valid") {
      ++valid;
      ASSERT_TRUE(opened.has_value()) << c.label() << ": " << opened.error().display();
      EXPECT_EQ(*opened, msg) << c.label();
      auto s = chacha20_poly1305_seal(key, iv, msg, aad);
      ASSERT_TRUE(s.has_value()) << c.label();
      EXPECT_EQ(*s, sealed) << c.label();
    } else {
      ASSERT_EQ(c.result, "invalid") << c.label();
      ++invalid;
      ASSERT_FALSE(opened.has_value()) << c.label();
      if (c.has_flag("InvalidNonceSize")) {
        EXPECT_EQ(opened.error().kind, Kind::InvalidLength) << c.label();
        auto s = chacha20_poly1305_seal(key, iv, msg, aad);
        ASSERT_FALSE(s.has_value()) << c.label();
        EXPECT_EQ(s.error().kind, Kind::InvalidLength) << c.label();
      } else {
        EXPECT_EQ(opened.error().kind, Kind::DecryptionFailed) << c.label();
      }
    }
    EXPECT_TRUE(openssl_error_queue_empty()) << c.label();
  });
  EXPECT_EQ(n, 325u);
  EXPECT_EQ(valid, 256u);
  EXPECT_EQ(invalid, 69u);
}

// Every bit of the sealed data, the associated data, the nonce and the key is authenticated,
// and a failed open leaves no plaintext in the caller's buffer.
TEST(ChaCha20Poly1305, AnyBitFlipFailsAndReleasesNoPlaintext) {
  const auto key = random_vec(32), nonce = random_vec(12), aad = random_vec(9);
  const Bytes msg(40, 0x5A);
  auto sealed = chacha20_poly1305_seal(key, nonce, msg, aad);
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->size(), msg.size() + 16);

  const auto expect_refused = [&](const Bytes& k, const Bytes& n, const Bytes& s, const Bytes& a,
                                  const std::string& what) {
    Bytes out(s.size() - 16, 0xEE);
    auto r = chacha20_poly1305_open_into(k, n, s, a, out);
    ASSERT_FALSE(r.has_value()) << what;
    EXPECT_EQ(r.error().kind, Kind::DecryptionFailed) << what;
    EXPECT_TRUE(all_zero(out)) << what;
    EXPECT_TRUE(openssl_error_queue_empty()) << what;
  };
  const auto flip = [](Bytes v, std::size_t bit) {
    v[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return v;
  };
  for (std::size_t bit = 0; bit < sealed->size() * 8; ++bit)
    expect_refused(key, nonce, flip(*sealed, bit), aad, "sealed bit " + std::to_string(bit));
  for (std::size_t bit = 0; bit < aad.size() * 8; ++bit)
    expect_refused(key, nonce, *sealed, flip(aad, bit), "aad bit " + std::to_string(bit));
  for (std::size_t bit = 0; bit < nonce.size() * 8; ++bit)
    expect_refused(key, flip(nonce, bit), *sealed, aad, "nonce bit " + std::to_string(bit));
  for (std::size_t bit = 0; bit < key.size() * 8; bit += 7)
    expect_refused(flip(key, bit), nonce, *sealed, aad, "key bit " + std::to_string(bit));
  // Truncated or extended sealed data, and associated data that was dropped.
  expect_refused(key, nonce, Bytes(sealed->begin(), sealed->end() - 1), aad, "truncated");
  auto extended = *sealed;
  extended.push_back(0);
  expect_refused(key, nonce, extended, aad, "extended");
  expect_refused(key, nonce, *sealed, {}, "aad dropped");

  auto ok = chacha20_poly1305_open(key, nonce, *sealed, aad);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*ok, msg);
}

TEST(ChaCha20Poly1305, FixedLengthsAreCheckedAtTheBoundary) {
  const auto key = random_vec(32), nonce = random_vec(12);
  const Bytes msg = {1, 2, 3};
  for (int delta : {-1, 0, 1}) {
    SCOPED_TRACE(delta);
    Bytes k = key, n = nonce;
    k.resize(k.size() + delta);
    n.resize(n.size() + delta);
    auto with_key = chacha20_poly1305_seal(k, nonce, msg, {});
    auto with_nonce = chacha20_poly1305_seal(key, n, msg, {});
    EXPECT_EQ(with_key.has_value(), delta == 0);
    EXPECT_EQ(with_nonce.has_value(), delta == 0);
    if (delta == 0) {
      EXPECT_TRUE(chacha20_poly1305_open(k, n, *with_key, {}).has_value());
    } else {
      EXPECT_EQ(with_key.error().kind, Kind::InvalidLength);
      EXPECT_EQ(with_nonce.error().kind, Kind::InvalidLength);
      const Bytes sealed(19, 0);
      EXPECT_EQ(chacha20_poly1305_open(k, nonce, sealed, {}).error().kind, Kind::InvalidLength);
      EXPECT_EQ(chacha20_poly1305_open(key, n, sealed, {}).error().kind, Kind::InvalidLength);
    }
  }
  // Sealed data of 15 bytes cannot hold a tag; 16 bytes is an empty message.
  auto short_open = chacha20_poly1305_open(key, nonce, Bytes(15, 0), {});
  ASSERT_FALSE(short_open.has_value());
  EXPECT_EQ(short_open.error().kind, Kind::DecryptionFailed);
  auto empty = chacha20_poly1305_seal(key, nonce, {}, {});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 16u);
  auto opened = chacha20_poly1305_open(key, nonce, *empty, {});
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());
  // Caller buffers of the wrong size are refused, not overrun.
  Bytes out(msg.size() + 16 + 1);
  EXPECT_EQ(chacha20_poly1305_seal_into(key, nonce, msg, {}, out).error().kind, Kind::InvalidLength);
  out.resize(msg.size());
  EXPECT_EQ(chacha20_poly1305_open_into(key, nonce, *empty, {}, out).error().kind, Kind::InvalidLength);
}

TEST(ChaCha20Poly1305, LargeMessageRoundTrips) {
  const auto key = random_vec(32), nonce = random_vec(12), aad = random_vec(3000);
  const auto msg = random_vec(std::size_t{1} << 20);
  auto sealed = chacha20_poly1305_seal(key, nonce, msg, aad);
  ASSERT_TRUE(sealed.has_value());
  auto opened = chacha20_poly1305_open(key, nonce, *sealed, aad);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, msg);
}

}  // namespace
}  // namespace ostrel::crypto
