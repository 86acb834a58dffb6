#pragma once
// Time windows: "HH:MM-HH:MM", optionally followed by white space and an IANA zone name
// ("22:00-06:00 Europe/Berlin"). Without a zone the window is in UTC.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/time.hpp"

namespace date {
class time_zone;
}

namespace ostrel::core {

struct TimeWindowError {
  enum class Kind { MissingDash, MalformedStart, MalformedEnd, UnknownZone };
  Kind kind;
  std::string zone;  // UnknownZone: the name as written (trimmed)
  // The warning an evaluation logs when it meets this window.
  std::string_view display() const noexcept;
};

struct TimeWindow {
  std::uint32_t start_secs = 0;  // seconds of the day
  std::uint32_t end_secs = 0;
  const date::time_zone* zone = nullptr;  // UTC when null; zones live as long as the process

  // Both ends inclusive (the end minute's second 0 exactly); a start later than the end
  // spans midnight. The instant's local time of day is taken with the offset in force at it.
  bool contains(common::Instant t) const noexcept;
};

// The range is what precedes the first white space; leading white space therefore leaves an
// empty range. Checks run in the order missing dash, start, end, zone.
common::Result<TimeWindow, TimeWindowError> parse_time_window(std::string_view text);

// Exact, case-sensitive IANA names from the system database. The database is read on first
// use, once per process; a failed read leaves every name unknown, which fails closed.
const date::time_zone* find_time_zone(std::string_view name) noexcept;

}  // namespace ostrel::core
