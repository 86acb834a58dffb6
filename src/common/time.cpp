#include "common/time.hpp"

#include <charconv>
#include <chrono>

namespace ostrel::common {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kMinYear = -262143;
constexpr std::int64_t kMaxYear = 262142;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date; exact for any year that fits, unlike
// time_t based conversions that stop at the platform's limits.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = floor_div(y, 400);
  const auto yoe = static_cast<unsigned>(y - era * 400);                      // [0, 399]
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;        // [0, 365]
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                  // [0, 146096]
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr CivilDate civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = floor_div(z, 146097);
  const auto doe = static_cast<unsigned>(z - era * 146097);                    // [0, 146096]
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const unsigned mp = (5 * doy + 2) / 153;                                     // [0, 11]
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr std::int64_t kMinDay = days_from_civil(kMinYear, 1, 1);
constexpr std::int64_t kMaxDay = days_from_civil(kMaxYear, 12, 31);
static_assert(civil_from_days(kMinDay).year == kMinYear);
static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);

constexpr bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr unsigned days_in_month(std::int64_t y, unsigned m) {
  constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && is_leap(y)) ? 29 : days[m - 1];
}

void put_digits(std::string& out, std::uint64_t v, int width) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  for (int pad = width - static_cast<int>(end - buf); pad > 0; --pad) out += '0';
  out.append(buf, end);
}

TimeError syntax(std::string detail) { return TimeError{TimeError::Kind::Syntax, std::move(detail)}; }

// A tiny cursor over the text, so each field's message can say where it went wrong.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  std::size_t pos() const { return pos_; }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }
  void advance() { ++pos_; }

  // Exactly `n` ASCII digits.
  Result<unsigned, TimeError> digits(int n, std::string_view what) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
      const char c = peek();
      if (c < '0' || c > '9') {
        return fail(syntax("expected " + std::to_string(n) + " digits for the " + std::string(what) + " " +
                           where()));
      }
      v = v * 10 + static_cast<unsigned>(c - '0');
      advance();
    }
    return v;
  }

  Result<void, TimeError> expect(char c, std::string_view what) {
    if (peek() != c) return fail(syntax("expected " + std::string(what) + " " + where()));
    advance();
    return {};
  }

  std::string where() const {
    if (at_end()) return "at the end of the text";
    std::string out = "at position " + std::to_string(pos_ + 1);
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c >= 0x20 && c < 0x7f) {
      out += ", found `";
      out += static_cast<char>(c);
      out += '`';
    }
    return out;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string TimeError::display() const {
  switch (kind) {
    case Kind::Syntax:
      return "invalid RFC 3339 instant: " + detail;
    case Kind::OutOfRange:
      return "instant out of range: " + detail;
  }
  return detail;
}

Instant Instant::now() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  const std::int64_t s = floor_div(ns, 1'000'000'000);
  return Instant{s, static_cast<std::uint32_t>(ns - s * 1'000'000'000)};
}

bool Instant::in_range(std::int64_t seconds) {
  const std::int64_t day = floor_div(seconds, kSecondsPerDay);
  return day >= kMinDay && day <= kMaxDay;
}

std::optional<Instant> Instant::from_unix_seconds(std::int64_t seconds) {
  if (!in_range(seconds)) return std::nullopt;
  return Instant{seconds, 0};
}

std::string format_rfc3339(Instant t) {
  const std::int64_t day = floor_div(t.seconds, kSecondsPerDay);
  const auto sod = static_cast<std::uint64_t>(t.seconds - day * kSecondsPerDay);
  const CivilDate date = civil_from_days(day);

  std::string out;
  out.reserve(36);
  // RFC 3339 has four-digit years only. Years outside 0000..9999 use the ISO 8601 expanded form
  // (sign and six digits), which the parser below also reads, so every instant round-trips.
  if (date.year >= 0 && date.year <= 9999) {
    put_digits(out, static_cast<std::uint64_t>(date.year), 4);
  } else {
    out += date.year < 0 ? '-' : '+';
    put_digits(out, static_cast<std::uint64_t>(date.year < 0 ? -date.year : date.year), 6);
  }
  out += '-';
  put_digits(out, date.month, 2);
  out += '-';
  put_digits(out, date.day, 2);
  out += 'T';
  put_digits(out, sod / 3600, 2);
  out += ':';
  put_digits(out, sod / 60 % 60, 2);
  out += ':';
  put_digits(out, sod % 60, 2);
  if (t.nanos != 0) {
    out += '.';
    if (t.nanos % 1'000'000 == 0) {
      put_digits(out, t.nanos / 1'000'000, 3);
    } else if (t.nanos % 1'000 == 0) {
      put_digits(out, t.nanos / 1'000, 6);
    } else {
      put_digits(out, t.nanos, 9);
    }
  }
  out += 'Z';
  return out;
}

Result<Instant, TimeError> parse_rfc3339(std::string_view text) {
  Scanner s(text);

  std::int64_t year = 0;
  if (s.peek() == '+' || s.peek() == '-') {
    const bool negative = s.peek() == '-';
    s.advance();
    auto hi = s.digits(6, "expanded year");
    if (!hi) return fail(hi.error());
    year = negative ? -static_cast<std::int64_t>(*hi) : static_cast<std::int64_t>(*hi);
  } else {
    auto y = s.digits(4, "year");
    if (!y) return fail(y.error());
    year = *y;
  }
  if (auto r = s.expect('-', "`-` after the year"); !r) return fail(r.error());
  auto month = s.digits(2, "month");
  if (!month) return fail(month.error());
  if (*month < 1 || *month > 12) return fail(syntax("month " + std::to_string(*month) + " is not 1 to 12"));
  if (auto r = s.expect('-', "`-` after the month"); !r) return fail(r.error());
  auto day = s.digits(2, "day");
  if (!day) return fail(day.error());
  if (year < kMinYear || year > kMaxYear) {
    return fail(TimeError{TimeError::Kind::OutOfRange,
                          "year " + std::to_string(year) + " is outside -262143 to 262142"});
  }
  if (*day < 1 || *day > days_in_month(year, *month)) {
    return fail(syntax("day " + std::to_string(*day) + " does not exist in month " + std::to_string(*month) +
                       " of year " + std::to_string(year)));
  }

  const char sep = s.peek();
  if (sep != 'T' && sep != 't' && sep != ' ') {
    return fail(syntax("expected `T`, `t` or a space between date and time " + s.where()));
  }
  s.advance();
  auto hour = s.digits(2, "hour");
  if (!hour) return fail(hour.error());
  if (auto r = s.expect(':', "`:` after the hour"); !r) return fail(r.error());
  auto minute = s.digits(2, "minute");
  if (!minute) return fail(minute.error());
  if (auto r = s.expect(':', "`:` after the minute"); !r) return fail(r.error());
  auto second = s.digits(2, "second");
  if (!second) return fail(second.error());
  if (*hour > 23) return fail(syntax("hour " + std::to_string(*hour) + " is not 0 to 23"));
  if (*minute > 59) return fail(syntax("minute " + std::to_string(*minute) + " is not 0 to 59"));
  if (*second > 60) return fail(syntax("second " + std::to_string(*second) + " is not 0 to 60"));

  std::uint32_t nanos = 0;
  if (s.peek() == '.') {
    s.advance();
    int count = 0;
    while (s.peek() >= '0' && s.peek() <= '9') {
      // Digits below a nanosecond cannot be held; they are dropped (truncating towards the past).
      if (count < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(s.peek() - '0');
      ++count;
      s.advance();
    }
    if (count == 0) return fail(syntax("expected digits after `.` " + s.where()));
    for (int i = count; i < 9; ++i) nanos *= 10;
  }

  std::int64_t offset_seconds = 0;
  const char zone = s.peek();
  if (zone == 'Z' || zone == 'z') {
    s.advance();
  } else if (zone == '+' || zone == '-') {
    s.advance();
    auto oh = s.digits(2, "offset hours");
    if (!oh) return fail(oh.error());
    if (auto r = s.expect(':', "`:` in the offset"); !r) return fail(r.error());
    auto om = s.digits(2, "offset minutes");
    if (!om) return fail(om.error());
    if (*oh > 23 || *om > 59) return fail(syntax("offset " + std::string(text.substr(s.pos() - 6)) + " is not valid"));
    offset_seconds = (static_cast<std::int64_t>(*oh) * 3600 + *om * 60) * (zone == '-' ? -1 : 1);
  } else {
    return fail(syntax("expected `Z` or a numeric offset such as +01:00 " + s.where()));
  }
  if (!s.at_end()) return fail(syntax("unexpected text after the instant " + s.where()));

  const std::int64_t local_minutes = static_cast<std::int64_t>(*hour) * 60 + *minute;
  const std::int64_t utc =
      days_from_civil(year, *month, *day) * kSecondsPerDay + local_minutes * 60 + *second - offset_seconds;
  if (*second == 60) {
    // A leap second exists only as the last second of a UTC day. It is counted as the first
    // second of the next day, as the Unix time scale has no room for it.
    const std::int64_t utc_minute_of_day = floor_div(utc - 60, 60) - floor_div(utc - 60, kSecondsPerDay) * 1440;
    if (utc_minute_of_day != 1439) {
      return fail(syntax("second 60 is a leap second, which exists only at 23:59 UTC"));
    }
  }
  if (!Instant::in_range(utc)) {
    return fail(TimeError{TimeError::Kind::OutOfRange,
                          "the instant in UTC falls outside the years -262143 to 262142"});
  }
  return Instant{utc, nanos};
}

}  // namespace ostrel::common
