#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace ostrel::common {

struct UuidError {
  enum class Kind { InvalidLength, InvalidCharacter, InvalidGroups };
  Kind kind;
  std::string detail;  // what was found, for the display text
  std::string display() const;
};

// A UUID as its 16 bytes in RFC 4122 (big-endian) order.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // Random version 4 UUID, from a generator seeded by the operating system's random source.
  static Uuid new_v4();
  // Every standard text form: hyphenated, 32 plain hex digits, braced, urn:uuid:.
  static Result<Uuid, UuidError> parse(std::string_view text);
  // The same forms, for callers that only need the value: nothing is worded on failure.
  static std::optional<Uuid> try_parse(std::string_view text) noexcept;

  // Hyphenated lowercase, 8-4-4-4-12.
  std::string to_string() const;
  // Writes the 36 characters of the hyphenated form into out, without allocating.
  void write_hyphenated(char* out) const noexcept;

  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace ostrel::common
