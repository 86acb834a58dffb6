#include "crypto/classical/x25519.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "crypto/classical_wycheproof.hpp"
#include "crypto/rng.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

using ostrel::testing::from_hex;
using ostrel::testing::hex_field;
using ostrel::testing::openssl_error_queue_empty;
using Kind = CryptoError::Kind;

std::vector<std::uint8_t> vec(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

// RFC 7748, section 6.1.
TEST(X25519, Rfc7748KnownAnswer) {
  auto alice = X25519PrivateKey::from_bytes(
      from_hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  auto bob = X25519PrivateKey::from_bytes(
      from_hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  ASSERT_TRUE(alice.has_value() && bob.has_value());
  EXPECT_EQ(vec(alice->public_key()),
            from_hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  EXPECT_EQ(vec(bob->public_key()),
            from_hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
  const auto expected = from_hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742");
  auto ab = alice->diffie_hellman(bob->public_key());
  auto ba = bob->diffie_hellman(alice->public_key());
  ASSERT_TRUE(ab.has_value() && ba.has_value());
  EXPECT_EQ(vec(ab->span()), expected);
  EXPECT_EQ(vec(ba->span()), expected);
}

// Valid cases give the expected secret. "Acceptable" cases are behaviour RFC 7748 permits
// either way:
//  - ZeroSharedSecret (low-order public keys): we refuse them with InvalidKey, because an
//    all-zero secret would let the peer decide the key (RFC 7748, section 6.1 allows the check);
//  - every other acceptable flag (Twist, NonCanonicalPublic, SmallPublicKey, EdgeCase...,
//    SpecialPublicKey) is a public key RFC 7748 says to accept as given (top bit masked,
//    non-canonical u reduced), so the secret must match.
TEST(X25519, Wycheproof) {
  const auto file = ostrel::testing::VectorFile::load("wycheproof/x25519_test.json");
  std::size_t accepted = 0, refused_zero = 0;
  const auto n = ostrel::testing::for_each_wycheproof_case(file, [&](const auto& c) {
    auto key = X25519PrivateKey::from_bytes(hex_field(c.test, "private"));
    ASSERT_TRUE(key.has_value()) << c.label();
    auto shared = key->diffie_hellman(hex_field(c.test, "public"));
    const bool refuse = c.result == "invalid" || c.has_flag("ZeroSharedSecret");
    if (refuse) {
      ++refused_zero;
      ASSERT_FALSE(shared.has_value()) << c.label();
      if (c.has_flag("ZeroSharedSecret")) {
        EXPECT_EQ(shared.error().kind, Kind::InvalidKey) << c.label();
      }
    } else {
      ++accepted;
      ASSERT_TRUE(shared.has_value()) << c.label() << ": " << shared.error().display();
      EXPECT_EQ(vec(shared->span()), hex_field(c.test, "shared")) << c.label();
    }
    EXPECT_TRUE(openssl_error_queue_empty()) << c.label();
  });
  EXPECT_EQ(n, 518u);
  EXPECT_EQ(refused_zero, 31u);
  EXPECT_EQ(accepted, 518u - 31u);
}

TEST(X25519, LowOrderPeerKeysAreRefused) {
  auto key = X25519PrivateKey::generate();
  ASSERT_TRUE(key.has_value());
  // u = 0, u = 1 and a point of order 8 (RFC 7748 lists these as the ones to worry about).
  const char* low_order[] = {
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0100000000000000000000000000000000000000000000000000000000000000",
      "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
  };
  for (const char* hex : low_order) {
    auto r = key->diffie_hellman(from_hex(hex));
    ASSERT_FALSE(r.has_value()) << hex;
    EXPECT_EQ(r.error().kind, Kind::InvalidKey) << hex;
    EXPECT_TRUE(openssl_error_queue_empty()) << hex;
  }
}

TEST(X25519, FixedLengthsAreCheckedAtTheBoundary) {
  auto key = X25519PrivateKey::generate();
  auto peer = X25519PrivateKey::generate();
  ASSERT_TRUE(key.has_value() && peer.has_value());
  const auto secret = from_hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  for (int delta : {-1, 0, 1}) {
    SCOPED_TRACE(delta);
    auto s = secret;
    auto p = vec(peer->public_key());
    s.resize(s.size() + delta);
    p.resize(p.size() + delta);
    auto rs = X25519PrivateKey::from_bytes(s);
    auto rp = key->diffie_hellman(p);
    EXPECT_EQ(rs.has_value(), delta == 0);
    EXPECT_EQ(rp.has_value(), delta == 0);
    if (delta != 0) {
      EXPECT_EQ(rs.error().kind, Kind::InvalidLength);
      EXPECT_EQ(rp.error().kind, Kind::InvalidLength);
    }
  }
}

TEST(X25519, GeneratedKeysAgree) {
  auto a = X25519PrivateKey::generate();
  auto b = X25519PrivateKey::generate();
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_NE(a->public_key(), b->public_key());
  auto ab = a->diffie_hellman(b->public_key());
  auto ba = b->diffie_hellman(a->public_key());
  ASSERT_TRUE(ab.has_value() && ba.has_value());
  EXPECT_EQ(vec(ab->span()), vec(ba->span()));
  // A copy shares the imported key and outlives the original.
  X25519PrivateKey copy = *a;
  a = common::fail(CryptoError{Kind::Backend, "released"});
  auto again = copy.diffie_hellman(b->public_key());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(vec(again->span()), vec(ba->span()));
}

TEST(X25519, GenerateReportsRandomSourceFailure) {
  std::uint64_t draws = 0;
  {
    testing::RandomFailureScope count(0);
    ASSERT_TRUE(X25519PrivateKey::generate().has_value());
    draws = count.draws();
  }
  ASSERT_GE(draws, 1u);
  for (std::uint64_t i = 1; i <= draws; ++i) {
    testing::RandomFailureScope fail(i);
    auto r = X25519PrivateKey::generate();
    ASSERT_FALSE(r.has_value()) << "draw " << i;
    EXPECT_EQ(r.error().kind, Kind::RandomSource);
  }
}

}  // namespace
}  // namespace ostrel::crypto
