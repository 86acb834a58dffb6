#include "crypto/rng.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace ostrel::crypto {
namespace {

bool all_zero(std::span<const std::uint8_t> s) {
  return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

TEST(RandomBytes, FillsBuffersOfEverySize) {
  // getrandom returns short reads above 256 bytes when interrupted and above 32 MiB always;
  // the large size makes the loop over partial reads matter.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{32}, std::size_t{257},
                        std::size_t{1} << 20}) {
    std::vector<std::uint8_t> a(n, 0), b(n, 0);
    ASSERT_TRUE(random_bytes(a).has_value()) << n;
    ASSERT_TRUE(random_bytes(b).has_value()) << n;
    if (n >= 32) {
      EXPECT_FALSE(all_zero(a)) << n;
      EXPECT_NE(a, b) << n;
    }
    if (n >= 4096) {
      // The tail is written too, not just a first partial read.
      EXPECT_FALSE(all_zero(std::span(a).last(1024)));
    }
  }
}

TEST(RandomBytes, InjectedFailureHitsExactlyTheArmedDraw) {
  testing::RandomFailureScope scope(2);
  std::array<std::uint8_t, 32> buf{};

  ASSERT_TRUE(random_bytes(buf).has_value());
  EXPECT_EQ(scope.draws(), 1u);

  buf.fill(0xAA);
  auto r = random_bytes(buf);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, CryptoError::Kind::RandomSource);
  EXPECT_FALSE(r.error().detail.empty());
  EXPECT_EQ(r.error().display(), "OS RNG failed: " + r.error().detail);
  // A failed draw leaves nothing usable behind.
  EXPECT_TRUE(all_zero(buf));

  EXPECT_TRUE(random_bytes(buf).has_value());
  EXPECT_EQ(scope.draws(), 3u);
}

TEST(RandomBytes, CountOnlyThenDisarm) {
  {
    testing::RandomFailureScope scope(0);
    std::array<std::uint8_t, 8> buf{};
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(random_bytes(buf).has_value());
    EXPECT_EQ(scope.draws(), 5u);
  }
  // Disarmed: nothing fails and nothing is counted.
  std::array<std::uint8_t, 8> buf{};
  const auto before = testing::random_draws();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(random_bytes(buf).has_value());
  EXPECT_EQ(testing::random_draws(), before);
}

TEST(RandomBytes, RearmingRestartsTheCount) {
  std::array<std::uint8_t, 8> buf{};
  testing::arm_random_failure(1);
  EXPECT_FALSE(random_bytes(buf).has_value());
  testing::arm_random_failure(1);
  EXPECT_FALSE(random_bytes(buf).has_value());
  EXPECT_TRUE(random_bytes(buf).has_value());
  testing::disarm_random_failure();
  EXPECT_TRUE(random_bytes(buf).has_value());
}

TEST(CryptoErrorDisplay, EveryKindHasItsText) {
  using K = CryptoError::Kind;
  struct Case {
    CryptoError error;
    const char* text;
  };
  const Case cases[] = {
      {{K::RandomSource, "No such device"}, "OS RNG failed: No such device"},
      {{K::InvalidLength, "Ed25519 public key: expected 32 bytes, got 31"},
       "invalid length: Ed25519 public key: expected 32 bytes, got 31"},
      {{K::InvalidKey, ""}, "invalid key"},
      {{K::InvalidEncoding, "hint"}, "invalid encoding: hint"},
      {{K::VerificationFailed, ""}, "signature verification failed"},
      {{K::DecryptionFailed, ""}, "decryption failed"},
      {{K::Backend, "EVP_DigestSign"}, "cryptographic backend failure: EVP_DigestSign"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

}  // namespace
}  // namespace ostrel::crypto
