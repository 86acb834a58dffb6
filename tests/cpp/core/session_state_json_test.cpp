#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/action.hpp"

namespace ostrel::core {
namespace {

using common::json::SchemaError;

common::Uuid uuid(std::string_view text) { return *common::Uuid::parse(text); }

SessionState full_session() {
  SessionState s;
  s.session_id = uuid("67e55044-10b1-426f-9247-bb680e5fe0c8");
  s.started_at = common::Instant{1700000000, 120'000'000};
  s.action_count = 18446744073709551615u;
  s.action_history = {"read", "wri\"te\n", "caf\xc3\xa9"};
  s.invalidated = true;
  s.origin_ip = common::IpAddr::parse("2001:db8::1");
  s.origin_device = DeviceFingerprint{"abc123", "laptop"};
  s.origin_geo = GeoLocation{"US", "CO", "Denver", 39.7392, -104.9903};
  return s;
}

TEST(SessionStateJson, WritesEveryKeyInOrder) {
  EXPECT_EQ(full_session().to_json(),
            R"({"session_id":"67e55044-10b1-426f-9247-bb680e5fe0c8","started_at":"2023-11-14T22:13:20.120Z",)"
            R"("action_count":18446744073709551615,"action_history":["read","wri\"te\n","café"],"invalidated":true,)"
            R"("origin_ip":"2001:db8::1","origin_device":{"hash":"abc123","description":"laptop"},)"
            R"("origin_geo":{"country_code":"US","region":"CO","city":"Denver","latitude":39.7392,"longitude":-104.9903}})");

  SessionState bare;
  bare.session_id = uuid("00000000-0000-4000-8000-000000000000");
  bare.started_at = common::Instant{0, 0};
  EXPECT_EQ(bare.to_json(),
            R"({"session_id":"00000000-0000-4000-8000-000000000000","started_at":"1970-01-01T00:00:00Z",)"
            R"("action_count":0,"action_history":[],"invalidated":false,"origin_ip":null,"origin_device":null,)"
            R"("origin_geo":null})");

  bare.origin_ip = common::IpAddr::parse("10.0.0.1");
  bare.origin_device = DeviceFingerprint{"h", std::nullopt};
  bare.origin_geo = GeoLocation{"DE", std::nullopt, std::nullopt, 10.0, std::nan("")};
  const std::string text = bare.to_json();
  EXPECT_NE(text.find(R"("origin_ip":"10.0.0.1")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("origin_device":{"hash":"h","description":null})"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("origin_geo":{"country_code":"DE","region":null,"city":null,"latitude":10.0,"longitude":null})"),
            std::string::npos)
      << text;
}

TEST(SessionStateJson, RoundTrips) {
  const SessionState full = full_session();
  auto back = SessionState::from_json(full.to_json());
  ASSERT_TRUE(back) << back.error().display();
  EXPECT_EQ(*back, full);

  SessionState fresh = SessionState::new_session();
  auto again = SessionState::from_json(fresh.to_json());
  ASSERT_TRUE(again) << again.error().display();
  EXPECT_EQ(*again, fresh);

  // Instants far outside 0000..9999 survive too.
  fresh.started_at = common::Instant{-8334601228800, 1};
  EXPECT_EQ(*SessionState::from_json(fresh.to_json()), fresh);
}

TEST(SessionStateJson, ReadsLenientlyWhereTheFormAllows) {
  // Keys in any order, optional keys missing or null, unknown keys skipped, any UUID and RFC 3339
  // spelling, integers for coordinates.
  auto s = SessionState::from_json(
      R"({"future":{"x":[1,2]},"action_count":3,"started_at":"2023-11-14T23:13:20.5+01:00",)"
      R"("session_id":"{67E55044-10B1-426F-9247-BB680E5FE0C8}","origin_ip":null,)"
      R"("origin_geo":{"country_code":"US","latitude":40,"longitude":-105,"population":5},)"
      R"("origin_device":{"hash":"h","extra":true}})");
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(s->session_id, uuid("67e55044-10b1-426f-9247-bb680e5fe0c8"));
  EXPECT_EQ(s->started_at, (common::Instant{1700000000, 500'000'000}));
  EXPECT_EQ(s->action_count, 3u);
  EXPECT_TRUE(s->action_history.empty());
  EXPECT_FALSE(s->invalidated);
  EXPECT_FALSE(s->origin_ip.has_value());
  ASSERT_TRUE(s->origin_geo.has_value());
  EXPECT_EQ(*s->origin_geo, (GeoLocation{"US", std::nullopt, std::nullopt, 40.0, -105.0}));
  EXPECT_EQ(*s->origin_device, (DeviceFingerprint{"h", std::nullopt}));

  auto urn = SessionState::from_json(
      R"({"session_id":"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8","started_at":"2023-11-14 22:13:20Z","action_count":0})");
  ASSERT_TRUE(urn) << urn.error().display();
  EXPECT_EQ(urn->session_id, uuid("67e55044-10b1-426f-9247-bb680e5fe0c8"));
}

constexpr const char* kId = R"("session_id":"67e55044-10b1-426f-9247-bb680e5fe0c8")";
constexpr const char* kAt = R"("started_at":"2023-11-14T22:13:20Z")";

std::string doc(std::string_view extra) {
  std::string out = "{";
  out += kId;
  out += ',';
  out += kAt;
  out += ",\"action_count\":1";
  if (!extra.empty()) {
    out += ',';
    out += extra;
  }
  out += '}';
  return out;
}

TEST(SessionStateJson, RejectsMalformedDocumentsWithTheirError) {
  struct Case {
    std::string text;
    SchemaError::Kind kind;
    const char* message;  // without the position
  };
  using K = SchemaError::Kind;
  const Case cases[] = {
      {std::string("{") + kId + "," + kAt + "}", K::MissingField, "missing field `action_count`"},
      {std::string("{") + kAt + ",\"action_count\":1}", K::MissingField, "missing field `session_id`"},
      {std::string("{") + kId + ",\"action_count\":1}", K::MissingField, "missing field `started_at`"},
      {doc("\"action_count\":2"), K::DuplicateField, "duplicate field `action_count`"},
      {doc("\"x\":1,\"x\":2"), K::DuplicateField, "duplicate field `x`"},
      {doc("\"origin_geo\":{\"country_code\":\"US\",\"city\":\"a\",\"city\":\"b\"}"), K::DuplicateField,
       "duplicate field `city`"},
      {doc("\"origin_geo\":{\"city\":\"a\"}"), K::MissingField, "missing field `country_code`"},
      {doc("\"origin_device\":{\"description\":\"a\"}"), K::MissingField, "missing field `hash`"},
      {doc("\"origin_device\":\"abc\""), K::InvalidType,
       "invalid type: string \"abc\", expected struct DeviceFingerprint"},
      {doc("\"origin_geo\":{\"country_code\":\"US\",\"latitude\":\"39.7\"}"), K::InvalidType,
       "invalid type: string \"39.7\", expected f64"},
      {doc("\"invalidated\":\"false\""), K::InvalidType, "invalid type: string \"false\", expected a boolean"},
      {doc("\"invalidated\":null"), K::InvalidType, "invalid type: null, expected a boolean"},
      {doc("\"action_history\":[\"a\",1]"), K::InvalidType, "invalid type: integer `1`, expected a string"},
      {doc("\"action_history\":\"a\""), K::InvalidType, "invalid type: string \"a\", expected a sequence"},
      {doc("\"origin_ip\":\"10.0.0\""), K::InvalidValue, "invalid value: string \"10.0.0\", expected an IP address"},
      {doc("\"origin_ip\":167772161"), K::InvalidType, "invalid type: integer `167772161`, expected a string"},
      {std::string("{") + kId + "," + kAt + ",\"action_count\":-1}", K::InvalidValue,
       "invalid value: integer `-1`, expected u64"},
      {std::string("{") + kId + "," + kAt + ",\"action_count\":1.0}", K::InvalidType,
       "invalid type: floating point `1.0`, expected u64"},
      {std::string("{") + kId + "," + kAt + ",\"action_count\":18446744073709551616}", K::Syntax,
       "number out of range"},
      {std::string("{") + kId + "," + kAt + ",\"action_count\":1e999}", K::Syntax, "number out of range"},
      {std::string("{\"session_id\":\"not-a-uuid\",") + kAt + ",\"action_count\":1}", K::Custom,
       "invalid UUID: invalid length: expected 32 hex digits, optionally as 8-4-4-4-12 groups, braced or after "
       "`urn:uuid:`, found 10 characters"},
      {std::string("{\"session_id\":\"67e55044-10b1-426f-9247-bb680e5fe0cz\",") + kAt + ",\"action_count\":1}",
       K::Custom, "invalid UUID: invalid character: expected a hex digit, found `z` at position 36"},
      {std::string("{\"session_id\":7,") + kAt + ",\"action_count\":1}", K::InvalidType,
       "invalid type: integer `7`, expected a string"},
      {std::string("{") + kId + ",\"started_at\":\"2023-11-14T22:13:20\",\"action_count\":1}", K::Custom,
       "invalid RFC 3339 instant: expected `Z` or a numeric offset such as +01:00 at the end of the text"},
      {std::string("{") + kId + ",\"started_at\":\"+262143-01-01T00:00:00Z\",\"action_count\":1}", K::Custom,
       "instant out of range: year 262143 is outside -262143 to 262142"},
      {std::string("{") + kId + ",\"started_at\":1700000000,\"action_count\":1}", K::InvalidType,
       "invalid type: integer `1700000000`, expected a string"},
      {"[]", K::InvalidType, "invalid type: sequence, expected struct SessionState"},
      {"null", K::InvalidType, "invalid type: null, expected struct SessionState"},
      {"", K::Syntax, "the document is empty"},
      {doc("").substr(0, 40), K::Syntax, "unterminated string"},
      {doc("").substr(0, 53), K::Syntax, "unexpected end of the document"},
      {doc("") + "x", K::Syntax, "trailing characters"},
      {doc("\"action_history\":[\"a\",]"), K::Syntax, "unexpected character `]`"},
      {doc("\"origin_device\":{\"hash\":\"\xff\"}"), K::Syntax, "invalid UTF-8"},
      {doc("\"origin_device\":{\"hash\":\"a\\uDC00\"}"), K::Syntax, "invalid escape in a string"},
      {doc("\"deep\":" + std::string(300, '[') + std::string(300, ']')), K::Syntax, "nesting deeper than 128 levels"},
      {doc("\"deep\":" + std::string(300, '{')), K::Syntax, nullptr},
  };
  for (const auto& c : cases) {
    auto s = SessionState::from_json(c.text);
    ASSERT_FALSE(s) << c.text;
    EXPECT_EQ(s.error().kind, c.kind) << c.text << ": " << s.error().display();
    if (c.message) {
      EXPECT_EQ(s.error().message, c.message) << c.text;
    }
    // Every error of a text document points into it.
    EXPECT_GT(s.error().line, 0u) << c.text << ": " << s.error().display();
  }
}

TEST(SessionStateJson, ErrorsCarryTheLineAndColumn) {
  auto s = SessionState::from_json("{\n  \"session_id\": \"67e55044-10b1-426f-9247-bb680e5fe0c8\",\n"
                                   "  \"started_at\": \"2023-11-14T22:13:20Z\",\n  \"action_count\": \"3\"\n}");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().display(), "invalid type: string \"3\", expected u64 at line 4 column 19");
}

}  // namespace
}  // namespace ostrel::core

#include "core/json_mutation.hpp"

namespace ostrel::core {
namespace {

// Mutated documents either read (and then re-read identically from their own JSON) or fail with
// a message; the sanitizer build checks that nothing reads out of bounds on the way.
TEST(SessionStateJson, SurvivesThousandsOfMutatedDocuments) {
  const std::string seeds[] = {
      full_session().to_json(),
      doc(""),
      doc(R"("origin_geo":{"country_code":"US","latitude":1e2},"origin_device":{"hash":"h"},"x":[{"y":null}])"),
  };
  testing::expect_survives_mutations<SessionState>(seeds, 20240601, 4000);
}

}  // namespace
}  // namespace ostrel::core
