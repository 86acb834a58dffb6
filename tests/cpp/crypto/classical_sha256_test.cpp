#include "crypto/classical/sha256.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/ct.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

using ostrel::testing::to_hex;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// FIPS 180-4 examples (and the NIST one-million-'a' message).
TEST(Sha256, KnownAnswers) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    auto d = sha256(bytes_of(c.message));
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(to_hex(*d), c.digest) << c.message.size();
  }
}

// Splitting the input anywhere, across block boundaries, changes nothing.
TEST(Sha256, IncrementalMatchesOneShotAtEverySplit) {
  Bytes msg(200);
  for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const auto expected = sha256(msg);
  ASSERT_TRUE(expected.has_value());
  auto h = Sha256::create();
  ASSERT_TRUE(h.has_value());
  for (std::size_t split = 0; split <= msg.size(); ++split) {
    const std::span<const std::uint8_t> all(msg);
    ASSERT_TRUE(h->update(all.first(split)).has_value());
    ASSERT_TRUE(h->update(all.subspan(split)).has_value());
    auto d = h->finish();  // also restarts for the next split
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(*d, *expected) << split;
  }
}

TEST(Sha256, FinishRestartsAndCopiesAreIndependent) {
  auto h = Sha256::create();
  ASSERT_TRUE(h.has_value());
  ASSERT_TRUE(h->update(bytes_of("ab")).has_value());
  Sha256 copy = *h;
  ASSERT_TRUE(h->update(bytes_of("c")).has_value());
  ASSERT_TRUE(copy.update(bytes_of("x")).has_value());
  EXPECT_EQ(*h->finish(), *sha256(bytes_of("abc")));
  EXPECT_EQ(*copy.finish(), *sha256(bytes_of("abx")));
  // After finish the hasher is empty again.
  EXPECT_EQ(*h->finish(), *sha256({}));
}

TEST(ConstantTime, EqualAndZero) {
  const Bytes a = {1, 2, 3}, b = {1, 2, 3}, c = {1, 2, 4}, d = {1, 2};
  EXPECT_TRUE(ct_equal(a, b));
  EXPECT_FALSE(ct_equal(a, c));
  EXPECT_FALSE(ct_equal(a, d));
  EXPECT_TRUE(ct_equal({}, {}));
  EXPECT_TRUE(ct_is_zero(Bytes(32, 0)));
  EXPECT_TRUE(ct_is_zero({}));
  Bytes last(32, 0);
  last.back() = 0x80;
  EXPECT_FALSE(ct_is_zero(last));
}

}  // namespace
}  // namespace ostrel::crypto
