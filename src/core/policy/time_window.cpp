#include "core/policy/time_window.hpp"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include <date/tz.h>

#include "core/policy/whitespace.hpp"

namespace ostrel::core {
namespace {

constexpr std::int64_t kDaySecs = 86400;
constexpr std::int64_t kNanosPerSec = 1'000'000'000;

// "H:M" with one or two digits each, hour 0..23, minute 0..59, nothing around it.
std::optional<std::uint32_t> parse_hh_mm(std::string_view s) noexcept {
  auto digits = [&](std::size_t& i, std::uint32_t& out) {
    const std::size_t start = i;
    out = 0;
    while (i < s.size() && i - start < 2 && s[i] >= '0' && s[i] <= '9') {
      out = out * 10 + static_cast<std::uint32_t>(s[i] - '0');
      ++i;
    }
    return i > start;
  };
  std::size_t i = 0;
  std::uint32_t h = 0, m = 0;
  if (!digits(i, h) || i >= s.size() || s[i] != ':') return std::nullopt;
  ++i;
  if (!digits(i, m) || i != s.size()) return std::nullopt;
  if (h > 23 || m > 59) return std::nullopt;
  return h * 3600 + m * 60;
}

struct ZoneIndex {
  std::vector<std::pair<std::string_view, const date::time_zone*>> by_name;
};

const ZoneIndex& zone_index() noexcept {
  // A function-local static is initialised exactly once even when first reached from several
  // threads; lookups afterwards are a binary search over names, never a file read.
  static const ZoneIndex index = [] {
    ZoneIndex idx;
    try {
      const date::tzdb& db = date::get_tzdb();
      idx.by_name.reserve(db.zones.size());
      for (const date::time_zone& z : db.zones) idx.by_name.emplace_back(z.name(), &z);
      std::sort(idx.by_name.begin(), idx.by_name.end());
    } catch (...) {
      idx.by_name.clear();
    }
    return idx;
  }();
  return index;
}

}  // namespace

std::string_view TimeWindowError::display() const noexcept {
  switch (kind) {
    case Kind::MissingDash: return "TimeWindow: malformed (missing '-'), refusing";
    case Kind::MalformedStart: return "TimeWindow: malformed start HH:MM, refusing";
    case Kind::MalformedEnd: return "TimeWindow: malformed end HH:MM, refusing";
    case Kind::UnknownZone: return "TimeWindow: unknown timezone, refusing";
  }
  return "TimeWindow: malformed, refusing";
}

const date::time_zone* find_time_zone(std::string_view name) noexcept {
  const auto& v = zone_index().by_name;
  const auto it = std::lower_bound(v.begin(), v.end(), name,
                                   [](const auto& entry, std::string_view n) { return entry.first < n; });
  if (it == v.end() || it->first != name) return nullptr;
  const date::time_zone* zone = it->second;
  // The zone's transitions are read from its file on first use (under the library's own
  // once-flag). Doing it here turns an unreadable file into an unknown zone instead of a
  // failure in the middle of an evaluation.
  try {
    (void)zone->get_info(date::sys_seconds{});
  } catch (...) {
    return nullptr;
  }
  return zone;
}

common::Result<TimeWindow, TimeWindowError> parse_time_window(std::string_view text) {
  using Kind = TimeWindowError::Kind;
  const WhitespaceSplit split = split_at_first_whitespace(text);
  const std::string_view range = trim_whitespace(split.before);

  const std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) return common::fail(TimeWindowError{Kind::MissingDash, {}});
  const auto start = parse_hh_mm(trim_whitespace(range.substr(0, dash)));
  if (!start) return common::fail(TimeWindowError{Kind::MalformedStart, {}});
  const auto end = parse_hh_mm(trim_whitespace(range.substr(dash + 1)));
  if (!end) return common::fail(TimeWindowError{Kind::MalformedEnd, {}});

  TimeWindow window{*start, *end, nullptr};
  if (split.found) {
    const std::string_view name = trim_whitespace(split.after);
    window.zone = find_time_zone(name);
    if (window.zone == nullptr) return common::fail(TimeWindowError{Kind::UnknownZone, std::string(name)});
  }
  return window;
}

bool TimeWindow::contains(common::Instant t) const noexcept {
  std::int64_t offset = 0;
  if (zone != nullptr) {
    try {
      offset = zone->get_info(date::sys_seconds{std::chrono::seconds{t.seconds}}).offset.count();
    } catch (...) {
      return false;
    }
  }
  const std::int64_t local = t.seconds + offset;
  const std::int64_t sod = ((local % kDaySecs) + kDaySecs) % kDaySecs;
  const std::int64_t now_ns = sod * kNanosPerSec + static_cast<std::int64_t>(t.nanos);
  const std::int64_t start_ns = static_cast<std::int64_t>(start_secs) * kNanosPerSec;
  const std::int64_t end_ns = static_cast<std::int64_t>(end_secs) * kNanosPerSec;
  if (start_secs <= end_secs) return start_ns <= now_ns && now_ns <= end_ns;
  return now_ns >= start_ns || now_ns <= end_ns;
}

}  // namespace ostrel::core
