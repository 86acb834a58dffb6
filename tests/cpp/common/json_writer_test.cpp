#include "common/json/writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "common/json/reader.hpp"

namespace ostrel::common::json {
namespace {

TEST(JsonWriter, WritesCompactJsonWithMembersInWrittenOrder) {
  Writer w;
  w.begin_object()
      .key("z")
      .u64(18446744073709551615u)
      .key("a")
      .i64(INT64_MIN)
      .key("list")
      .begin_array()
      .boolean(true)
      .null()
      .begin_object()
      .end_object()
      .begin_array()
      .end_array()
      .string("s")
      .end_array()
      .key("nested")
      .begin_object()
      .key("k")
      .f64(0.5)
      .end_object()
      .key("raw")
      .raw(R"({"x":1})")
      .optional_string(std::nullopt)
      .end_object();
  EXPECT_EQ(w.str(),
            R"({"z":18446744073709551615,"a":-9223372036854775808,"list":[true,null,{},[],"s"],)"
            R"("nested":{"k":0.5},"raw":{"x":1},null})");
}

TEST(JsonWriter, FloatsAreShortestRoundTripWithAFractionOrExponent) {
  const std::pair<double, const char*> cases[] = {
      {10.0, "10.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {-104.9903, "-104.9903"},
      {1e300, "1e+300"},
      {1e21, "1e+21"},
      {123456789.0, "123456789.0"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& [v, text] : cases) {
    std::string out;
    append_f64(out, v);
    EXPECT_EQ(out, text);
  }
  // Every written float reads back as the same float, and as a float, not an integer.
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i) {
    double d;
    const std::uint64_t bits = rng();
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    const std::string text = to_json(Value(d));
    auto back = read_value(text);
    ASSERT_TRUE(back) << text;
    const double* got = std::get_if<double>(&back->storage());
    ASSERT_NE(got, nullptr) << text;
    EXPECT_EQ(std::memcmp(got, &d, sizeof d), 0) << text;
  }
}

TEST(JsonWriter, EscapesStringsAsJsonRequires) {
  const std::pair<std::string, const char*> cases[] = {
      {"plain", R"("plain")"},
      {"quote\" backslash\\ slash/", R"("quote\" backslash\\ slash/")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x80\xa8", "\"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x80\xa8\""},
  };
  for (const auto& [s, json] : cases) {
    Writer w;
    w.string(s);
    EXPECT_EQ(w.str(), json);
    EXPECT_FALSE(w.replaced_invalid_utf8());
    auto back = read_value(w.str());
    ASSERT_TRUE(back) << w.str();
    EXPECT_EQ(*back, Value(s));
  }
}

TEST(JsonWriter, InvalidUtf8BecomesReplacementCharactersSoTheOutputStaysJson) {
  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    Writer w;
    w.begin_object().key(bad).string(bad).end_object();
    EXPECT_TRUE(w.replaced_invalid_utf8()) << bad;
    EXPECT_TRUE(read_value(w.str()).has_value()) << w.str();
    EXPECT_NE(w.str().find("\xef\xbf\xbd"), std::string::npos);
  }
}

TEST(JsonWriter, WritesValuesOfTheDataModel) {
  Object o;
  o.emplace("b", Value(Array{Value(std::uint64_t{1}), Value(std::int64_t{-2}), Value(2.5), Value::number(NAN)}));
  o.emplace("a", Value(Object{{"x", Value(nullptr)}, {"y", Value(false)}}));
  o.emplace("c", Value("t"));
  const Value v(std::move(o));
  EXPECT_EQ(to_json(v), R"({"a":{"x":null,"y":false},"b":[1,-2,2.5,null],"c":"t"})");
  auto back = read_value(to_json(v));
  ASSERT_TRUE(back);
  EXPECT_EQ(to_json(*back), to_json(v));
}

}  // namespace
}  // namespace ostrel::common::json
