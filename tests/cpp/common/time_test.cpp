#include "common/time.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

namespace ostrel::common {
namespace {

TEST(Instant, NowIsTheSystemClockInNanoseconds) {
  const auto before = std::chrono::system_clock::now();
  const Instant t = Instant::now();
  const auto after = std::chrono::system_clock::now();
  const auto as_ns = [](std::chrono::system_clock::time_point p) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(p.time_since_epoch()).count();
  };
  const std::int64_t ns = t.seconds * 1'000'000'000 + t.nanos;
  EXPECT_LE(as_ns(before), ns);
  EXPECT_LE(ns, as_ns(after));
  EXPECT_LT(t.nanos, 1'000'000'000u);
}

TEST(Instant, CalendarRangeIsYearsMinus262143To262142) {
  // 262142-12-31T23:59:59Z and -262143-01-01T00:00:00Z, the two ends.
  constexpr std::int64_t kLast = 8210266876799;
  constexpr std::int64_t kFirst = -8334601228800;
  EXPECT_TRUE(Instant::in_range(kLast));
  EXPECT_FALSE(Instant::in_range(kLast + 1));
  EXPECT_TRUE(Instant::in_range(kFirst));
  EXPECT_FALSE(Instant::in_range(kFirst - 1));
  EXPECT_TRUE(Instant::from_unix_seconds(-1).has_value());
  EXPECT_EQ(Instant::from_unix_seconds(-1)->seconds, -1);
  EXPECT_FALSE(Instant::from_unix_seconds(std::int64_t{1} << 62).has_value());
  EXPECT_FALSE(Instant::from_unix_seconds(INT64_MIN).has_value());
  EXPECT_FALSE(Instant::from_unix_seconds(INT64_MAX).has_value());
  EXPECT_EQ(format_rfc3339(Instant{kLast, 0}), "+262142-12-31T23:59:59Z");
  EXPECT_EQ(format_rfc3339(Instant{kFirst, 0}), "-262143-01-01T00:00:00Z");
}

TEST(Rfc3339, FormatsUtcWithTheFewestFractionDigitsThatAreExact) {
  struct Case {
    Instant t;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0}, "1970-01-01T00:00:00Z"},
      {{-1, 0}, "1969-12-31T23:59:59Z"},
      {{-1, 500'000'000}, "1969-12-31T23:59:59.500Z"},
      {{1700000000, 120'000'000}, "2023-11-14T22:13:20.120Z"},
      {{1700000000, 123'456'000}, "2023-11-14T22:13:20.123456Z"},
      {{1700000000, 100}, "2023-11-14T22:13:20.000000100Z"},
      {{1700000000, 999'999'999}, "2023-11-14T22:13:20.999999999Z"},
      {{951782400, 0}, "2000-02-29T00:00:00Z"},
      {{-62167219200, 0}, "0000-01-01T00:00:00Z"},
      {{-62167219201, 0}, "-000001-12-31T23:59:59Z"},
      {{253402300799, 0}, "9999-12-31T23:59:59Z"},
      {{253402300800, 0}, "+010000-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_rfc3339(c.t), c.text);
    auto back = parse_rfc3339(c.text);
    ASSERT_TRUE(back) << c.text << ": " << back.error().display();
    EXPECT_EQ(*back, c.t) << c.text;
  }
}

TEST(Rfc3339, FormatAndParseRoundTripAcrossTheWholeRange) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::int64_t> secs(-8334601228800, 8210266876799);
  std::uniform_int_distribution<std::uint32_t> nanos(0, 999'999'999);
  for (int i = 0; i < 20000; ++i) {
    const Instant t{secs(rng), i % 3 == 0 ? 0u : nanos(rng)};
    const std::string text = format_rfc3339(t);
    auto back = parse_rfc3339(text);
    ASSERT_TRUE(back) << text << ": " << back.error().display();
    ASSERT_EQ(*back, t) << text;
  }
}

TEST(Rfc3339, ParsesEveryRfc3339SpellingIntoUtc) {
  struct Case {
    const char* text;
    std::int64_t seconds;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {"2023-11-14T22:13:20Z", 1700000000, 0},
      {"2023-11-14t22:13:20z", 1700000000, 0},
      {"2023-11-14 22:13:20Z", 1700000000, 0},
      {"2023-11-14T23:13:20+01:00", 1700000000, 0},
      {"2023-11-14T16:43:20-05:30", 1700000000, 0},
      {"2023-11-14T22:13:20-00:00", 1700000000, 0},
      {"2023-11-14T22:13:20.5Z", 1700000000, 500'000'000},
      {"2023-11-14T22:13:20.000000001Z", 1700000000, 1},
      {"2023-11-14T22:13:20.1234567891234Z", 1700000000, 123'456'789},
      {"1970-01-01T00:59:59+01:00", -1, 0},
      {"2016-12-31T23:59:60Z", 1483228800, 0},
      {"2017-01-01T00:59:60+01:00", 1483228800, 0},
      {"2000-02-29T00:00:00Z", 951782400, 0},
  };
  for (const auto& c : cases) {
    auto t = parse_rfc3339(c.text);
    ASSERT_TRUE(t) << c.text << ": " << t.error().display();
    EXPECT_EQ(t->seconds, c.seconds) << c.text;
    EXPECT_EQ(t->nanos, c.nanos) << c.text;
  }
}

TEST(Rfc3339, RejectsMalformedTextWithAClearMessage) {
  struct Case {
    const char* text;
    TimeError::Kind kind;
    const char* message;
  };
  using K = TimeError::Kind;
  const Case cases[] = {
      {"", K::Syntax, "invalid RFC 3339 instant: expected 4 digits for the year at the end of the text"},
      {"2023-11-14", K::Syntax,
       "invalid RFC 3339 instant: expected `T`, `t` or a space between date and time at the end of the text"},
      {"2023-11-14T22:13:20", K::Syntax,
       "invalid RFC 3339 instant: expected `Z` or a numeric offset such as +01:00 at the end of the text"},
      {"2023-11-14T22:13Z", K::Syntax, "invalid RFC 3339 instant: expected `:` after the minute at position 17, found `Z`"},
      {"2023-13-14T22:13:20Z", K::Syntax, "invalid RFC 3339 instant: month 13 is not 1 to 12"},
      {"2023-02-29T22:13:20Z", K::Syntax, "invalid RFC 3339 instant: day 29 does not exist in month 2 of year 2023"},
      {"2023-11-14T24:00:00Z", K::Syntax, "invalid RFC 3339 instant: hour 24 is not 0 to 23"},
      {"2023-11-14T22:60:00Z", K::Syntax, "invalid RFC 3339 instant: minute 60 is not 0 to 59"},
      {"2023-11-14T22:13:61Z", K::Syntax, "invalid RFC 3339 instant: second 61 is not 0 to 60"},
      {"2023-11-14T22:13:60Z", K::Syntax,
       "invalid RFC 3339 instant: second 60 is a leap second, which exists only at 23:59 UTC"},
      {"2023-11-14T22:13:20.Z", K::Syntax, "invalid RFC 3339 instant: expected digits after `.` at position 21, found `Z`"},
      {"2023-11-14T22:13:20+0100", K::Syntax, nullptr},
      {"2023-11-14T22:13:20+24:00", K::Syntax, nullptr},
      {"2023-11-14T22:13:20Z ", K::Syntax,
       "invalid RFC 3339 instant: unexpected text after the instant at position 21, found ` `"},
      {" 2023-11-14T22:13:20Z", K::Syntax, nullptr},
      {"23-11-14T22:13:20Z", K::Syntax, nullptr},
      {"2023-1-14T22:13:20Z", K::Syntax, nullptr},
      {"1700000000", K::Syntax, nullptr},
      {"+262143-01-01T00:00:00Z", K::OutOfRange, "instant out of range: year 262143 is outside -262143 to 262142"},
      {"+262142-12-31T23:59:59-00:01", K::OutOfRange, nullptr},
      {"-262143-01-01T00:00:00+00:01", K::OutOfRange, nullptr},
  };
  for (const auto& c : cases) {
    auto t = parse_rfc3339(c.text);
    ASSERT_FALSE(t) << c.text;
    EXPECT_EQ(t.error().kind, c.kind) << c.text << ": " << t.error().display();
    if (c.message) {
      EXPECT_EQ(t.error().display(), c.message);
    }
  }
}

}  // namespace
}  // namespace ostrel::common
