#include <gtest/gtest.h>

#include "core/invalidation_scope.hpp"

namespace ostrel::core {
namespace {

using common::json::SchemaError;

const common::Uuid kSession = *common::Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8");

TEST(InvalidationScopeJson, WritesEachTargetAsAnObjectWithOneKey) {
  const std::pair<InvalidationScope, const char*> cases[] = {
      {{SessionTarget{kSession}, "device changed", "drift"},
       R"({"target":{"session":"67e55044-10b1-426f-9247-bb680e5fe0c8"},"reason":"device changed","evaluator":"drift"})"},
      {{PrincipalTarget{"agent-7"}, "too many", "invariant"},
       R"({"target":{"principal":"agent-7"},"reason":"too many","evaluator":"invariant"})"},
      {{RoleTarget{"ad\"min\\"}, "", "policy\n"},
       R"({"target":{"role":"ad\"min\\"},"reason":"","evaluator":"policy\n"})"},
  };
  for (const auto& [scope, text] : cases) {
    EXPECT_EQ(scope.to_json(), text);
    auto back = InvalidationScope::from_json(text);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(*back, scope);
  }
}

TEST(InvalidationScopeJson, ReadsAnyKeyOrderSkipsUnknownKeysAndAcceptsAnyUuidForm) {
  auto s = InvalidationScope::from_json(
      R"({"version":2,"evaluator":"drift","reason":"r","target":{"session":"67E5504410B1426F9247BB680E5FE0C8"}})");
  ASSERT_TRUE(s) << s.error().display();
  EXPECT_EQ(*s, (InvalidationScope{SessionTarget{kSession}, "r", "drift"}));
}

TEST(InvalidationScopeJson, RejectsMalformedDocumentsWithTheirError) {
  struct Case {
    const char* text;
    SchemaError::Kind kind;
    const char* message;
  };
  using K = SchemaError::Kind;
  const Case cases[] = {
      {R"({"reason":"r","evaluator":"e"})", K::MissingField, "missing field `target`"},
      {R"({"target":{"role":"a"},"evaluator":"e"})", K::MissingField, "missing field `reason`"},
      {R"({"target":{"role":"a"},"reason":"r"})", K::MissingField, "missing field `evaluator`"},
      {R"({"target":{"role":"a"},"reason":"r","evaluator":"e","reason":"s"})", K::DuplicateField,
       "duplicate field `reason`"},
      {R"({"target":{"group":"a"},"reason":"r","evaluator":"e"})", K::UnknownVariant,
       "unknown variant `group`, expected one of `session`, `principal`, `role`"},
      {R"({"target":{"Role":"a"},"reason":"r","evaluator":"e"})", K::UnknownVariant, nullptr},
      {R"({"target":{"role":"a","principal":"b"},"reason":"r","evaluator":"e"})", K::InvalidValue,
       "invalid value: map with more than one key, expected enum InvalidationTarget"},
      {R"({"target":{"role":"a","role":"b"},"reason":"r","evaluator":"e"})", K::InvalidValue, nullptr},
      {R"({"target":{},"reason":"r","evaluator":"e"})", K::InvalidValue,
       "invalid value: empty map, expected enum InvalidationTarget"},
      {R"({"target":"role","reason":"r","evaluator":"e"})", K::InvalidType,
       "invalid type: string \"role\", expected enum InvalidationTarget"},
      {R"({"target":{"role":null},"reason":"r","evaluator":"e"})", K::InvalidType,
       "invalid type: null, expected a string"},
      {R"({"target":{"session":"nope"},"reason":"r","evaluator":"e"})", K::Custom, nullptr},
      {R"({"target":{"session":42},"reason":"r","evaluator":"e"})", K::InvalidType,
       "invalid type: integer `42`, expected a string"},
      {R"({"target":{"role":"a"},"reason":1,"evaluator":"e"})", K::InvalidType,
       "invalid type: integer `1`, expected a string"},
      {R"({"target":{"role":"a"},"reason":"r","evaluator":"e"} {})", K::Syntax, "trailing characters"},
      {R"({"target":{"role":"a"},"reason":"r","evaluator":"e")", K::Syntax, "unexpected end of the document"},
      {R"({"target":{"role":"a"},"reason":"r)", K::Syntax, "unterminated string"},
      {"{\"target\":{\"role\":\"\xc0\xaf\"},\"reason\":\"r\",\"evaluator\":\"e\"}", K::Syntax, "invalid UTF-8"},
      {R"({"target":{"role":"a"},"reason":"r","evaluator":"e","x":[[[[1e500]]]]})", K::Syntax,
       "number out of range"},
      {"", K::Syntax, "the document is empty"},
  };
  for (const auto& c : cases) {
    auto s = InvalidationScope::from_json(c.text);
    ASSERT_FALSE(s) << c.text;
    EXPECT_EQ(s.error().kind, c.kind) << c.text << ": " << s.error().display();
    if (c.message) {
      EXPECT_EQ(s.error().message, c.message) << c.text;
    }
    EXPECT_GT(s.error().line, 0u) << c.text;
  }
  auto bad_uuid = InvalidationScope::from_json(R"({"target":{"session":"nope"},"reason":"r","evaluator":"e"})");
  EXPECT_EQ(bad_uuid.error().display(),
            "invalid UUID: invalid length: expected 32 hex digits, optionally as 8-4-4-4-12 groups, braced or after "
            "`urn:uuid:`, found 4 characters at line 1 column 22");
}

}  // namespace
}  // namespace ostrel::core

#include "core/json_mutation.hpp"

namespace ostrel::core {
namespace {

TEST(InvalidationScopeJson, SurvivesThousandsOfMutatedDocuments) {
  const std::string seeds[] = {
      InvalidationScope{SessionTarget{kSession}, "device changed", "drift"}.to_json(),
      InvalidationScope{PrincipalTarget{"p\u00e9"}, "r", "e"}.to_json(),
      R"({"evaluator":"e","extra":{"a":[1,-2.5e3,true,null]},"reason":"r\n","target":{"role":"x"}})",
  };
  testing::expect_survives_mutations<InvalidationScope>(seeds, 77, 4000);
}

}  // namespace
}  // namespace ostrel::core
