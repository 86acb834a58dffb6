// The small text syntaxes that policy conditions carry: durations, time windows, patterns.
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/policy/duration.hpp"
#include "core/policy/pattern.hpp"
#include "core/policy/time_window.hpp"
#include "core/policy/whitespace.hpp"

namespace ostrel::core {
namespace {

struct DurationCase {
  const char* text;
  std::optional<std::uint64_t> secs;
};

TEST(PolicyDuration, ReadsExactlyTheDocumentedSyntax) {
  const DurationCase cases[] = {
      {"30s", 30},
      {"15m", 900},
      {"2h", 7200},
      {"1d", 86400},
      {"45", 45},
      {"  10m  ", 600},
      {"\t10m\n", 600},
      {"\xC2\xA0" "10m" "\xE3\x80\x80", 600},  // non-breaking and ideographic spaces trim too
      {"+5m", 300},
      {"0", 0},
      {"0s", 0},
      {"007s", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551615s", UINT64_MAX},
      {"1.5h", std::nullopt},
      {"5 m", std::nullopt},
      {"-5s", std::nullopt},
      {"m", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"1w", std::nullopt},
      {"10M", std::nullopt},
      {"10H", std::nullopt},
      {"1h30m", std::nullopt},
      {"+", std::nullopt},
      {"+s", std::nullopt},
      {"++5", std::nullopt},
      {"+-5", std::nullopt},
      {"5+", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"1_000", std::nullopt},
      {"5ss", std::nullopt},
      {"\xD9\xA3s", std::nullopt},  // an Arabic-Indic digit is not a decimal digit here
      {"18446744073709551616", std::nullopt},    // does not fit in 64 bits
      {"18446744073709551615m", std::nullopt},   // the product would wrap
      {"213503982334602d", std::nullopt},        // 213503982334602 * 86400 > 2^64
      {"213503982334601d", 213503982334601ULL * 86400ULL},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_duration_secs(c.text), c.secs) << "text: [" << c.text << "]";
  }
}

TEST(PolicyWhitespace, TrimsUnicodeWhiteSpaceButNotOtherBytes) {
  EXPECT_EQ(trim_whitespace(" \xE2\x80\x83x y\xE2\x80\xA8 "), "x y");
  // U+200B (zero width space) is not White_Space.
  EXPECT_EQ(trim_whitespace("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
  // A truncated multi-byte sequence is left alone rather than read past the end.
  EXPECT_EQ(trim_whitespace("x\xE2\x80"), "x\xE2\x80");
  const auto s = split_at_first_whitespace("09:00-17:00\xC2\xA0UTC");
  EXPECT_TRUE(s.found);
  EXPECT_EQ(s.before, "09:00-17:00");
  EXPECT_EQ(s.after, "UTC");
}

TEST(PolicyPattern, SuffixWildcardsArePrefixMatches) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"payments.*", "payments", true},
      {"payments.*", "payments.refund", true},
      {"payments.*", "paymentsx", true},
      {"payments.*", "payment", false},
      {"payments.*", "Payments.refund", false},
      {"payments*", "payments", true},
      {"payments*", "paymentsx", true},
      {"payments*", "payment", false},
      {"payments", "payments", true},
      {"payments", "payments.refund", false},
      {"payments", "Payments", false},
      {"*", "", true},
      {"*", "anything", true},
      {".*", "anything", true},
      {"", "", true},
      {"", "x", false},
      {"a*b", "a*b", true},  // a star inside is a plain character
      {"a*b", "axb", false},
      {"a.*.b", "a.*.b", true},
      {"a.*.b", "a.x.b", false},
      {"pay.**", "pay.*x", true},  // ends in "*" but not ".*": prefix "pay.*"
      {"pay.**", "pay.x", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pattern_matches(c.pattern, c.name), c.matches) << c.pattern << " vs " << c.name;
  }
}

common::Instant utc(std::int64_t day_secs, std::uint32_t nanos = 0) {
  // 2024-01-15 (a winter date) at the given second of the day.
  constexpr std::int64_t k2024_01_15 = 1705276800;
  return common::Instant{k2024_01_15 + day_secs, nanos};
}
constexpr std::int64_t hm(int h, int m, int s = 0) { return h * 3600 + m * 60 + s; }

TEST(PolicyTimeWindow, BoundsAreInclusiveToTheExactMinute) {
  const auto w = parse_time_window("09:00-17:00");
  ASSERT_TRUE(w.has_value());
  EXPECT_FALSE(w->contains(utc(hm(8, 59, 59), 999'999'999)));
  EXPECT_TRUE(w->contains(utc(hm(9, 0))));
  EXPECT_TRUE(w->contains(utc(hm(12, 0))));
  EXPECT_TRUE(w->contains(utc(hm(17, 0))));
  EXPECT_FALSE(w->contains(utc(hm(17, 0), 1)));
  EXPECT_FALSE(w->contains(utc(hm(17, 0, 1))));

  const auto point = parse_time_window("12:30-12:30");
  ASSERT_TRUE(point.has_value());
  EXPECT_TRUE(point->contains(utc(hm(12, 30))));
  EXPECT_FALSE(point->contains(utc(hm(12, 30), 1)));
  EXPECT_FALSE(point->contains(utc(hm(12, 29, 59))));
}

TEST(PolicyTimeWindow, WindowAcrossMidnight) {
  const auto w = parse_time_window("22:00-06:00");
  ASSERT_TRUE(w.has_value());
  EXPECT_TRUE(w->contains(utc(hm(23, 30))));
  EXPECT_TRUE(w->contains(utc(hm(5, 59))));
  EXPECT_TRUE(w->contains(utc(hm(0, 0))));
  EXPECT_TRUE(w->contains(utc(hm(22, 0))));
  EXPECT_TRUE(w->contains(utc(hm(6, 0))));
  EXPECT_FALSE(w->contains(utc(hm(6, 0, 1))));
  EXPECT_FALSE(w->contains(utc(hm(12, 0))));
  EXPECT_FALSE(w->contains(utc(hm(21, 59, 59))));
}

TEST(PolicyTimeWindow, InstantsBeforeTheEpochUseTheirOwnTimeOfDay) {
  const auto w = parse_time_window("23:00-23:59");
  ASSERT_TRUE(w.has_value());
  // 1969-12-31T23:30:00Z
  EXPECT_TRUE(w->contains(common::Instant{-1800, 0}));
  EXPECT_FALSE(w->contains(common::Instant{-86400 + 3600, 0}));
}

TEST(PolicyTimeWindow, ZonesApplyTheOffsetInForceAtTheInstant) {
  // Berlin is UTC+1 in January and UTC+2 in July.
  const auto w = parse_time_window("09:00-17:00 Europe/Berlin");
  ASSERT_TRUE(w.has_value()) << w.error().display();
  ASSERT_NE(w->zone, nullptr);
  EXPECT_TRUE(w->contains(utc(hm(8, 0))));     // 09:00 local
  EXPECT_FALSE(w->contains(utc(hm(7, 59))));   // 08:59 local
  EXPECT_TRUE(w->contains(utc(hm(16, 0))));    // 17:00 local
  EXPECT_FALSE(w->contains(utc(hm(16, 1))));   // 17:01 local
  constexpr std::int64_t k2024_07_15 = 1721001600;
  EXPECT_TRUE((w->contains(common::Instant{k2024_07_15 + hm(7, 0), 0})));    // 09:00 CEST
  EXPECT_FALSE((w->contains(common::Instant{k2024_07_15 + hm(6, 59), 0})));  // 08:59 CEST

  const auto tokyo = parse_time_window("22:00-06:00\tAsia/Tokyo");  // UTC+9, no DST
  ASSERT_TRUE(tokyo.has_value());
  EXPECT_TRUE(tokyo->contains(utc(hm(14, 30))));  // 23:30 local
  EXPECT_FALSE(tokyo->contains(utc(hm(3, 0))));   // 12:00 local
}

TEST(PolicyTimeWindow, MalformedWindowsReportTheFirstFailingCheck) {
  using Kind = TimeWindowError::Kind;
  struct Case {
    const char* text;
    Kind kind;
  };
  const Case cases[] = {
      {"09:00 - 17:00", Kind::MissingDash},  // the range ends at the first space
      {" 09:00-17:00", Kind::MissingDash},   // leading white space leaves an empty range
      {"", Kind::MissingDash},
      {"0900", Kind::MissingDash},
      {"09:00–17:00", Kind::MissingDash},     // an en dash is not a dash
      {"-17:00", Kind::MalformedStart},
      {"24:00-17:00", Kind::MalformedStart},
      {"09:60-17:00", Kind::MalformedStart},
      {"9-17:00", Kind::MalformedStart},
      {"009:00-17:00", Kind::MalformedStart},
      {"09:00:00-17:00", Kind::MalformedStart},
      {"+9:00-17:00", Kind::MalformedStart},
      {"09:00pm-17:00", Kind::MalformedStart},
      {"09:00-", Kind::MalformedEnd},
      {"09:00-17", Kind::MalformedEnd},
      {"09:00-17:00-18:00", Kind::MalformedEnd},
      {"09:00-23:60", Kind::MalformedEnd},
      {"09:00-17:00 europe/berlin", Kind::UnknownZone},  // names are case-sensitive
      {"09:00-17:00 Mars/Olympus", Kind::UnknownZone},
      {"09:00-17:00 ", Kind::UnknownZone},                // white space then an empty name
      {"09:00-17:00 ../../etc/passwd", Kind::UnknownZone},
      {"09:00-17:00 /etc/localtime", Kind::UnknownZone},
      {"09:00-25:00 Mars/Olympus", Kind::MalformedEnd},   // the range is checked before the zone
  };
  for (const auto& c : cases) {
    const auto w = parse_time_window(c.text);
    ASSERT_FALSE(w.has_value()) << c.text;
    EXPECT_EQ(w.error().kind, c.kind) << c.text;
  }
  EXPECT_EQ(parse_time_window("09:00-17:00 Mars/Olympus").error().zone, "Mars/Olympus");
}

TEST(PolicyTimeWindow, LenientFormsThatStillRead) {
  // One-digit fields, and spaces around each side inside the range are trimmed.
  const auto w = parse_time_window("9:5-17:00");
  ASSERT_TRUE(w.has_value());
  EXPECT_EQ(w->start_secs, hm(9, 5));
  const auto utc_zone = parse_time_window("00:00-23:59   UTC  ");
  ASSERT_TRUE(utc_zone.has_value());
  EXPECT_NE(utc_zone->zone, nullptr);
}

TEST(PolicyTimeWindow, WarningTextsAreFixed) {
  using Kind = TimeWindowError::Kind;
  EXPECT_EQ((TimeWindowError{Kind::MissingDash, {}}.display()), "TimeWindow: malformed (missing '-'), refusing");
  EXPECT_EQ((TimeWindowError{Kind::MalformedStart, {}}.display()), "TimeWindow: malformed start HH:MM, refusing");
  EXPECT_EQ((TimeWindowError{Kind::MalformedEnd, {}}.display()), "TimeWindow: malformed end HH:MM, refusing");
  EXPECT_EQ((TimeWindowError{Kind::UnknownZone, {}}.display()), "TimeWindow: unknown timezone, refusing");
}

TEST(PolicyTimeZone, LookupIsExactAndRepeatable) {
  const auto* a = find_time_zone("America/New_York");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, find_time_zone("America/New_York"));
  EXPECT_EQ(find_time_zone("America/New_Yor"), nullptr);
  EXPECT_EQ(find_time_zone("America/New_York "), nullptr);
  EXPECT_EQ(find_time_zone(""), nullptr);
}

}  // namespace
}  // namespace ostrel::core
