#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::common {

struct IpAddr {
  enum class Family : std::uint8_t { V4, V6 };
  Family family = Family::V4;
  std::array<std::uint8_t, 16> bytes{};  // network order; an IPv4 address uses the first 4

  static IpAddr v4(std::array<std::uint8_t, 4> b);
  static IpAddr v6(std::array<std::uint8_t, 16> b);
  // Standard text forms only: dotted quad for IPv4, RFC 4291 text for IPv6 (no zone, no brackets).
  static std::optional<IpAddr> parse(std::string_view text);
  // Dotted quad; IPv6 in the compressed lowercase form of RFC 5952.
  std::string to_string() const;

  friend auto operator<=>(const IpAddr&, const IpAddr&) = default;
};

}  // namespace ostrel::common
