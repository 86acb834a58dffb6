#pragma once
#include <cstdint>

#include "common/time.hpp"

namespace ostrel::core {

// Whole seconds from started_at to now, truncated toward zero, so a session that starts in the
// future has a negative age. Both instants lie within the calendar range, so the difference fits.
inline std::int64_t session_age_secs(const common::Instant& started_at, const common::Instant& now) {
  std::int64_t secs = now.seconds - started_at.seconds;
  const std::int64_t nanos =
      static_cast<std::int64_t>(now.nanos) - static_cast<std::int64_t>(started_at.nanos);
  // Instant::seconds is floored, so a borrow from the fraction has to be undone in the direction
  // that keeps the result truncated rather than floored.
  if (secs > 0 && nanos < 0) --secs;
  if (secs < 0 && nanos > 0) ++secs;
  return secs;
}

}  // namespace ostrel::core
