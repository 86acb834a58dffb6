#include "common/secure_bytes.hpp"

#include <gtest/gtest.h>

namespace ostrel::common {
namespace {

TEST(SecureBytes, CopiesAndMovesKeepContentsAndEmptyTheSource) {
  const std::uint8_t raw[] = {1, 2, 3, 4};
  SecureBytes a{std::span<const std::uint8_t>(raw)};
  SecureBytes b = a;
  ASSERT_EQ(b.size(), 4u);
  EXPECT_TRUE(std::equal(b.span().begin(), b.span().end(), raw));
  SecureBytes c = std::move(a);
  EXPECT_EQ(c.size(), 4u);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
  c.clear();
  EXPECT_TRUE(c.empty());
}

}  // namespace
}  // namespace ostrel::common
