#pragma once
// UTC instants with nanosecond precision over a calendar range of about 262,000 years either
// side of year 0, wider than a 64-bit count of nanoseconds could hold.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace ostrel::common {

struct TimeError {
  enum class Kind { Syntax, OutOfRange };
  Kind kind;
  std::string detail;
  std::string display() const;
};

struct Instant {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z, rounded towards negative infinity
  std::uint32_t nanos = 0;   // 0 ..= 999'999'999

  static Instant now();
  // Empty when the second's day falls outside the supported calendar range.
  static std::optional<Instant> from_unix_seconds(std::int64_t seconds);
  static bool in_range(std::int64_t seconds);

  // Saturating at the calendar range is not needed by callers; adding past it is a bug.
  Instant plus_seconds(std::int64_t s) const { return Instant{seconds + s, nanos}; }

  friend auto operator<=>(const Instant&, const Instant&) = default;
};

// RFC 3339 in UTC with "Z"; the fraction is omitted when zero, else 3, 6 or 9 digits,
// the fewest that hold it exactly.
std::string format_rfc3339(Instant t);
// Any RFC 3339 instant ("Z", "z" or a numeric offset; "T", "t" or a space), converted to UTC.
Result<Instant, TimeError> parse_rfc3339(std::string_view text);

}  // namespace ostrel::common
