#include "crypto/classical/hkdf_sha256.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "crypto/classical_wycheproof.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

using ostrel::testing::from_hex;
using ostrel::testing::hex_field;
using ostrel::testing::openssl_error_queue_empty;
using Bytes = std::vector<std::uint8_t>;
using Kind = CryptoError::Kind;

Bytes vec(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// Valid cases (including RFC 5869's, empty salts and the maximal 8160-byte output) must give
// the expected key, both in one call and through extract then expand. Invalid cases are all
// SizeTooLarge and must be refused. The file has no "acceptable" cases.
TEST(HkdfSha256, Wycheproof) {
  const auto file = ostrel::testing::VectorFile::load("wycheproof/hkdf_sha256_test.json");
  std::size_t valid = 0, invalid = 0;
  const auto n = ostrel::testing::for_each_wycheproof_case(file, [&](const auto& c) {
    const auto ikm = hex_field(c.test, "ikm");
    const auto salt = hex_field(c.test, "salt");
    const auto info = hex_field(c.test, "info");
    const auto size = static_cast<std::size_t>(ostrel::testing::int_field(c.test, "size"));
    auto okm = hkdf_sha256(ikm, salt, info, size);
    if (c.result == "valid") {
      ++valid;
      ASSERT_TRUE(okm.has_value()) << c.label() << ": " << okm.error().display();
      EXPECT_EQ(vec(okm->span()), hex_field(c.test, "okm")) << c.label();
      auto prk = hkdf_sha256_extract(salt, ikm);
      ASSERT_TRUE(prk.has_value()) << c.label();
      Bytes out(size);
      ASSERT_TRUE(hkdf_sha256_expand(prk->span(), info, out).has_value()) << c.label();
      EXPECT_EQ(out, hex_field(c.test, "okm")) << c.label();
    } else {
      ASSERT_EQ(c.result, "invalid") << c.label();
      ++invalid;
      ASSERT_FALSE(okm.has_value()) << c.label();
      EXPECT_EQ(okm.error().kind, Kind::InvalidLength) << c.label();
    }
    EXPECT_TRUE(openssl_error_queue_empty()) << c.label();
  });
  EXPECT_EQ(n, 86u);
  EXPECT_EQ(valid, 83u);
  EXPECT_EQ(invalid, 3u);
}

// RFC 5869, appendix A.3: empty salt and info, with the intermediate PRK.
TEST(HkdfSha256, Rfc5869EmptySaltAndPrk) {
  const Bytes ikm(22, 0x0b);
  auto prk = hkdf_sha256_extract({}, ikm);
  ASSERT_TRUE(prk.has_value());
  EXPECT_EQ(vec(prk->span()), from_hex("19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04"));
  auto okm = hkdf_sha256(ikm, {}, {}, 42);
  ASSERT_TRUE(okm.has_value());
  EXPECT_EQ(vec(okm->span()), from_hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"
                                       "9d201395faa4b61a96c8"));
  // An empty salt is HashLen zero bytes.
  auto zeros = hkdf_sha256(ikm, Bytes(32, 0), {}, 42);
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(vec(zeros->span()), vec(okm->span()));
}

TEST(HkdfSha256, OutputAndKeyLengthLimits) {
  const Bytes ikm(32, 7);
  struct Case {
    std::size_t length;
    bool ok;
  };
  for (const Case c : {Case{0, false}, Case{1, true}, Case{8159, true}, Case{8160, true}, Case{8161, false}}) {
    SCOPED_TRACE(c.length);
    Bytes out(c.length, 0xEE);
    auto r = hkdf_sha256(ikm, {}, {}, out);
    EXPECT_EQ(r.has_value(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error().kind, Kind::InvalidLength);
      EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](auto b) { return b == 0; }));
    }
  }
  // Expand needs a PRK of at least HashLen bytes: 31 / 32 / 33.
  for (std::size_t len : {31u, 32u, 33u}) {
    Bytes out(16);
    auto r = hkdf_sha256_expand(Bytes(len, 1), {}, out);
    EXPECT_EQ(r.has_value(), len >= 32) << len;
    if (!r) {
      EXPECT_EQ(r.error().kind, Kind::InvalidLength);
    }
  }
  // The prefix of a longer output is the shorter output (same T(1), T(2)...).
  auto a = hkdf_sha256(ikm, {}, Bytes{1}, 100);
  auto b = hkdf_sha256(ikm, {}, Bytes{1}, 64);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(vec(a->span().first(64)), vec(b->span()));
  EXPECT_TRUE(openssl_error_queue_empty());
}

}  // namespace
}  // namespace ostrel::crypto
