// Reading policy documents: the vocabulary, and every strictness rule at every level with the
// exact message an operator sees, in each carrier.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/json/value.hpp"
#include "core/policy/policy_set.hpp"

namespace ostrel::core {
namespace {

using common::json::Array;
using common::json::Object;
using common::json::Value;

constexpr const char* kFullToml = R"(
[[policy]]
name = "admins"
effect = "permit"
description = "admins may do anything in office hours"
priority = 5
conditions = [
  { identity_role = "admin" },
  { identity_kind = "user" },
  { time_window = "09:00-17:00 Europe/Berlin" },
]

[[policy]]
name = "payments"
effect = "refuse"
conditions = [
  { identity_id = "agent-7" },
  { action = "payments.*" },
  { param_max = { field = "amount", max = 100 } },
  { param_min = { field = "amount", min = -2.5 } },
  { param_in = { field = "currency", values = ["EUR", "USD"] } },
  { rate_limit = { max = 5, window = "1m" } },
  { session_age_max = "1h" },
  { resource = "db/*" },
]

[[policy]]
name = "empty"
effect = "refuse"
conditions = []
priority = 4294967295
)";

PolicySet full_set() {
  PolicySet s;
  s.policies.push_back(Policy{"admins",
                              Effect::Permit,
                              {cond::IdentityRole{"admin"}, cond::IdentityKind{PrincipalKind::User},
                               cond::TimeWindow{"09:00-17:00 Europe/Berlin"}},
                              "admins may do anything in office hours",
                              5});
  s.policies.push_back(Policy{"payments",
                              Effect::Refuse,
                              {cond::IdentityId{"agent-7"}, cond::Action{"payments.*"},
                               cond::ParamMax{"amount", 100.0}, cond::ParamMin{"amount", -2.5},
                               cond::ParamIn{"currency", {"EUR", "USD"}}, cond::RateLimit{5, "1m"},
                               cond::SessionAgeMax{"1h"}, cond::Resource{"db/*"}},
                              std::nullopt,
                              100});
  s.policies.push_back(Policy{"empty", Effect::Refuse, {}, std::nullopt, 4294967295u});
  return s;
}

Value full_value() {
  auto cond1 = [](const char* k, Value v) { return Value(Object{{k, std::move(v)}}); };
  Array rules;
  rules.push_back(Object{
      {"name", "admins"},
      {"effect", "permit"},
      {"description", "admins may do anything in office hours"},
      {"priority", std::uint64_t{5}},
      {"conditions", Array{cond1("identity_role", "admin"), cond1("identity_kind", "user"),
                           cond1("time_window", "09:00-17:00 Europe/Berlin")}},
  });
  rules.push_back(Object{
      {"name", "payments"},
      {"effect", "refuse"},
      {"description", nullptr},
      {"conditions",
       Array{cond1("identity_id", "agent-7"), cond1("action", "payments.*"),
             cond1("param_max", Object{{"field", "amount"}, {"max", std::int64_t{100}}}),
             cond1("param_min", Object{{"field", "amount"}, {"min", -2.5}}),
             cond1("param_in", Object{{"field", "currency"}, {"values", Array{"EUR", "USD"}}}),
             cond1("rate_limit", Object{{"max", std::uint64_t{5}}, {"window", "1m"}}),
             cond1("session_age_max", "1h"), cond1("resource", "db/*")}},
  });
  rules.push_back(Object{{"name", "empty"},
                         {"effect", "refuse"},
                         {"conditions", Array{}},
                         {"priority", std::uint64_t{4294967295u}}});
  return Object{{"policies", std::move(rules)}};
}

TEST(PolicyDocument, TomlReadsEveryConditionKind) {
  const auto set = PolicySet::from_toml(kFullToml);
  ASSERT_TRUE(set.has_value()) << set.error().text;
  EXPECT_EQ(*set, full_set());
}

TEST(PolicyDocument, ValueReadsTheSameVocabulary) {
  const auto set = PolicySet::from_value(full_value());
  ASSERT_TRUE(set.has_value()) << set.error().display();
  EXPECT_EQ(*set, full_set());
}

TEST(PolicyDocument, EmptyDocumentsHaveNoRules) {
  for (const char* text : {"", "\n# nothing\n", "policy = []", "policies = []"}) {
    const auto set = PolicySet::from_toml(text);
    ASSERT_TRUE(set.has_value()) << text;
    EXPECT_TRUE(set->policies.empty());
  }
  const auto v = PolicySet::from_value(Object{});
  ASSERT_TRUE(v.has_value());
  EXPECT_TRUE(v->policies.empty());
}

TEST(PolicyDocument, BothSpellingsAndBothTomlFormsAreAccepted) {
  const auto a = PolicySet::from_toml("[[policies]]\nname = \"a\"\neffect = \"permit\"\nconditions = []\n");
  const auto b = PolicySet::from_toml("policy = [{ name = \"a\", effect = \"permit\", conditions = [] }]\n");
  ASSERT_TRUE(a.has_value());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->policies.at(0).priority, 100u);
  EXPECT_FALSE(a->policies.at(0).description.has_value());
}

TEST(PolicyDocument, IntegerAndFloatBoundsReadAlike) {
  const auto i = PolicySet::from_toml(
      "[[policy]]\nname=\"n\"\neffect=\"permit\"\nconditions=[{param_max={field=\"a\",max=100}}]\n");
  const auto f = PolicySet::from_toml(
      "[[policy]]\nname=\"n\"\neffect=\"permit\"\nconditions=[{param_max={field=\"a\",max=100.0}}]\n");
  ASSERT_TRUE(i.has_value());
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(*i, *f);
}

// One rule with the given extra TOML lines.
std::string rule(const std::string& body) { return "[[policy]]\n" + body; }
const std::string kOk = "name = \"r\"\neffect = \"permit\"\n";

struct TomlCase {
  std::string text;
  std::string message;  // the standard text
  std::size_t line;
  std::size_t column;
};

TEST(PolicyDocument, TomlStrictnessAtEveryLevel) {
  const std::string kinds =
      "one of `identity_role`, `identity_kind`, `identity_id`, `action`, `param_max`, `param_min`, "
      "`param_in`, `rate_limit`, `session_age_max`, `resource`, `time_window`";
  const std::string rule_fields = "one of `name`, `effect`, `conditions`, `description`, `priority`";
  const std::string principal_kinds = "one of `user`, `agent`, `service`, `scheduler`, `external`";
  const TomlCase cases[] = {
      // document
      {"version = 1\n", "unknown field `version`, expected `policies` or `policy`", 1, 1},
      {rule(kOk + "conditions = []\n") + "\n[[policies]]\n" + kOk + "conditions = []\n",
       "duplicate field `policy`", 6, 3},
      {"policies = []\npolicy = []\n", "duplicate field `policy`", 2, 1},
      {"policy = \"x\"\n", "invalid type: string \"x\", expected a sequence", 1, 10},
      {"policy = [\"x\"]\n", "invalid type: string \"x\", expected struct Policy", 1, 11},
      // rule
      {rule("effect = \"permit\"\nconditions = []\n"), "missing field `name`", 1, 1},
      {rule("name = \"r\"\nconditions = []\n"), "missing field `effect`", 1, 1},
      {rule(kOk), "missing field `conditions`", 1, 1},
      {rule(kOk + "conditions = []\nnme = \"x\"\n"), "unknown field `nme`, expected " + rule_fields, 5, 1},
      {rule(kOk + "conditions = []\nversion = 2\nalso = 3\n"), "unknown field `version`, expected " + rule_fields,
       5, 1},
      {rule("name = 5\neffect = \"permit\"\nconditions = []\n"), "invalid type: integer `5`, expected a string", 2,
       8},
      {rule("name = 1979-05-27\neffect = \"permit\"\nconditions = []\n"),
       "invalid type: date, expected a string", 2, 8},
      {rule("name = \"r\"\neffect = \"Permit\"\nconditions = []\n"),
       "unknown variant `Permit`, expected `permit` or `refuse`", 3, 10},
      {rule("name = \"r\"\neffect = \"deny\"\nconditions = []\n"),
       "unknown variant `deny`, expected `permit` or `refuse`", 3, 10},
      {rule("name = \"r\"\neffect = true\nconditions = []\n"),
       "invalid type: boolean `true`, expected `permit` or `refuse`", 3, 10},
      {rule(kOk + "conditions = {}\n"), "invalid type: map, expected a sequence", 4, 14},
      {rule(kOk + "conditions = []\ndescription = 5\n"), "invalid type: integer `5`, expected a string", 5, 15},
      {rule(kOk + "conditions = []\npriority = -1\n"), "invalid value: integer `-1`, expected u32", 5, 12},
      {rule(kOk + "conditions = []\npriority = 4294967296\n"),
       "invalid value: integer `4294967296`, expected u32", 5, 12},
      {rule(kOk + "conditions = []\npriority = 10.0\n"), "invalid type: floating point `10.0`, expected u32", 5,
       12},
      {rule(kOk + "conditions = []\npriority = 1e3\n"), "invalid type: floating point `1000.0`, expected u32", 5,
       12},
      {rule(kOk + "conditions = []\npriority = \"10\"\n"), "invalid type: string \"10\", expected u32", 5, 12},
      // condition tables
      {rule(kOk + "conditions = [\"action\"]\n"),
       "invalid type: string \"action\", expected map with a single key", 4, 15},
      {rule(kOk + "conditions = [{}]\n"), "invalid value: empty map, expected map with a single key", 4, 15},
      {rule(kOk + "conditions = [{ action = \"a\", resource = \"b\" }]\n"),
       "invalid value: map with more than one key, expected map with a single key", 4, 31},
      {rule(kOk + "conditions = [{ identity_kinds = \"user\" }]\n"),
       "unknown variant `identity_kinds`, expected " + kinds, 4, 17},
      {rule(kOk + "conditions = [{ Action = \"a\" }]\n"), "unknown variant `Action`, expected " + kinds, 4, 17},
      {rule(kOk + "conditions = [{ identity_kind = \"robot\" }]\n"),
       "unknown variant `robot`, expected " + principal_kinds, 4, 33},
      {rule(kOk + "conditions = [{ identity_kind = \"User\" }]\n"),
       "unknown variant `User`, expected " + principal_kinds, 4, 33},
      {rule(kOk + "conditions = [{ identity_kind = 1 }]\n"),
       "invalid type: integer `1`, expected " + principal_kinds, 4, 33},
      {rule(kOk + "conditions = [{ identity_role = [\"a\"] }]\n"),
       "invalid type: sequence, expected a string", 4, 33},
      {rule(kOk + "conditions = [{ time_window = 9 }]\n"), "invalid type: integer `9`, expected a string", 4, 31},
      {rule(kOk + "conditions = [{ session_age_max = 3600 }]\n"),
       "invalid type: integer `3600`, expected a string", 4, 35},
      // payload tables
      {rule(kOk + "conditions = [{ param_max = { field = \"a\", max = 1, min = 0 } }]\n"),
       "unknown field `min`, expected `field` or `max`", 4, 53},
      {rule(kOk + "conditions = [{ param_max = { field = \"a\" } }]\n"), "missing field `max`", 4, 29},
      {rule(kOk + "conditions = [{ param_max = { max = 1 } }]\n"), "missing field `field`", 4, 29},
      {rule(kOk + "conditions = [{ param_max = { field = \"a\", max = \"100\" } }]\n"),
       "invalid type: string \"100\", expected f64", 4, 50},
      {rule(kOk + "conditions = [{ param_max = 100 }]\n"),
       "invalid type: integer `100`, expected struct ParamMax", 4, 29},
      {rule(kOk + "conditions = [{ param_min = { field = 1, min = 1 } }]\n"),
       "invalid type: integer `1`, expected a string", 4, 39},
      {rule(kOk + "conditions = [{ param_min = { field = \"a\", max = 1 } }]\n"),
       "unknown field `max`, expected `field` or `min`", 4, 44},
      {rule(kOk + "conditions = [{ param_in = { field = \"a\", values = \"EUR\" } }]\n"),
       "invalid type: string \"EUR\", expected a sequence", 4, 52},
      {rule(kOk + "conditions = [{ param_in = { field = \"a\", values = [\"EUR\", 1] } }]\n"),
       "invalid type: integer `1`, expected a string", 4, 60},
      {rule(kOk + "conditions = [{ param_in = { field = \"a\", value = [] } }]\n"),
       "unknown field `value`, expected `field` or `values`", 4, 43},
      {rule(kOk + "conditions = [{ rate_limit = { max = -1, window = \"1m\" } }]\n"),
       "invalid value: integer `-1`, expected u32", 4, 38},
      {rule(kOk + "conditions = [{ rate_limit = { max = 1.5, window = \"1m\" } }]\n"),
       "invalid type: floating point `1.5`, expected u32", 4, 38},
      {rule(kOk + "conditions = [{ rate_limit = { max = 1, window = 60 } }]\n"),
       "invalid type: integer `60`, expected a string", 4, 50},
      {rule(kOk + "conditions = [{ rate_limit = { max = 1 } }]\n"), "missing field `window`", 4, 30},
      {rule(kOk + "conditions = [{ rate_limit = { window = \"1m\", per = \"user\" } }]\n"),
       "unknown field `per`, expected `max` or `window`", 4, 47},
  };
  for (const auto& c : cases) {
    const auto set = PolicySet::from_toml(c.text);
    ASSERT_FALSE(set.has_value()) << c.text;
    EXPECT_EQ(set.error().kind, PolicyError::Kind::Parse);
    const std::string expected =
        c.message + " at line " + std::to_string(c.line) + " column " + std::to_string(c.column) + "\n";
    EXPECT_EQ(set.error().text.substr(0, expected.size()), expected) << c.text << "\n--- got:\n" << set.error().text;
  }
}

TEST(PolicyDocument, TomlErrorsShowTheOffendingLine) {
  const auto set = PolicySet::from_toml(rule(kOk + "conditions = []\nnme = \"x\"\n"));
  ASSERT_FALSE(set.has_value());
  const std::string& t = set.error().text;
  EXPECT_NE(t.find("\n  5 | nme = \"x\"\n    | ^"), std::string::npos) << t;
}

TEST(PolicyDocument, TomlSyntaxErrorsAndRepeatedKeysCarryTheParserText) {
  const auto dup = PolicySet::from_toml("[[policy]]\nname = \"a\"\nname = \"b\"\n");
  ASSERT_FALSE(dup.has_value());
  EXPECT_NE(dup.error().text.find("at line 3 column"), std::string::npos) << dup.error().text;
  EXPECT_NE(dup.error().text.find("name"), std::string::npos) << dup.error().text;

  for (const char* bad : {"[[policy]\n", "policy = [", "x = \"unterminated\n", "= 1", "a = 1\na = 2",
                          "\xff\xfe = 1", "policy = [{ name = \"a\" \n }]"}) {
    const auto set = PolicySet::from_toml(bad);
    ASSERT_FALSE(set.has_value()) << bad;
    EXPECT_NE(set.error().text.find(" at line "), std::string::npos) << set.error().text;
  }
}

TEST(PolicyDocument, ValueStrictnessUsesTheSameMessages) {
  auto doc = [](Object rule_obj) { return Value(Object{{"policies", Array{Value(std::move(rule_obj))}}}); };
  auto base = [](Value priority) {
    return Object{{"name", "r"}, {"effect", "permit"}, {"conditions", Array{}}, {"priority", std::move(priority)}};
  };
  struct Case {
    Value doc;
    std::string message;
  };
  const Case cases[] = {
      {Object{{"version", std::uint64_t{1}}}, "unknown field `version`, expected `policies` or `policy`"},
      {Object{{"policy", Array{}}, {"policies", Array{}}}, "duplicate field `policy`"},
      {Array{}, "invalid type: sequence, expected struct PolicySet"},
      {doc(base(10.0)), "invalid type: floating point `10.0`, expected u32"},
      {doc(base(std::int64_t{-1})), "invalid value: integer `-1`, expected u32"},
      {doc(base(std::uint64_t{4294967296})), "invalid value: integer `4294967296`, expected u32"},
      {doc(base(nullptr)), "invalid type: null, expected u32"},
      {doc(Object{{"name", "r"}, {"effect", "permit"}}), "missing field `conditions`"},
      {doc(Object{{"name", "r"}, {"effect", "permit"}, {"conditions", Array{Value(Object{})}}}),
       "invalid value: empty map, expected map with a single key"},
      {doc(Object{{"name", "r"},
                  {"effect", "permit"},
                  {"conditions", Array{Value(Object{{"param_max", Object{{"field", "a"}, {"max", nullptr}}}})}}}),
       "invalid type: null, expected f64"},
  };
  for (const auto& c : cases) {
    const auto set = PolicySet::from_value(c.doc);
    ASSERT_FALSE(set.has_value()) << c.message;
    EXPECT_EQ(set.error().display(), c.message);
  }
  for (std::uint64_t ok : {std::uint64_t{0}, std::uint64_t{4294967295}}) {
    const auto set = PolicySet::from_value(doc(base(ok)));
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(set->policies.at(0).priority, ok);
  }
  const auto signed_ok = PolicySet::from_value(doc(base(std::int64_t{7})));
  ASSERT_TRUE(signed_ok.has_value());
  EXPECT_EQ(signed_ok->policies.at(0).priority, 7u);
}

TEST(PolicyDocument, DescriptionsOfFoundValues) {
  auto priority_error = [](const char* value) {
    return PolicySet::from_toml(rule(kOk + "conditions = []\npriority = " + value + "\n")).error().text;
  };
  EXPECT_EQ(priority_error("nan").substr(0, 51), "invalid type: floating point `NaN`, expected u32 at");
  EXPECT_EQ(priority_error("-inf").substr(0, 52), "invalid type: floating point `-inf`, expected u32 at");
  EXPECT_EQ(priority_error("0.1").substr(0, 51), "invalid type: floating point `0.1`, expected u32 at");
  EXPECT_EQ(priority_error("\"a\\\"b\\\\c\\n\\u0001\"").substr(0, 51),
            "invalid type: string \"a\\\"b\\\\c\\n\\u{1}\", expected u32");
}


constexpr const char* kFullJson = R"({"policies": [
  {"name": "admins", "effect": "permit", "description": "admins may do anything in office hours",
   "priority": 5, "conditions": [
     {"identity_role": "admin"}, {"identity_kind": "user"}, {"time_window": "09:00-17:00 Europe/Berlin"}]},
  {"name": "payments", "effect": "refuse", "description": null, "conditions": [
     {"identity_id": "agent-7"}, {"action": "payments.*"},
     {"param_max": {"field": "amount", "max": 100}}, {"param_min": {"min": -2.5, "field": "amount"}},
     {"param_in": {"field": "currency", "values": ["EUR", "USD"]}},
     {"rate_limit": {"max": 5, "window": "1m"}}, {"session_age_max": "1h"}, {"resource": "db/*"}]},
  {"priority": 4294967295, "conditions": [], "effect": "refuse", "name": "empty"}
]})";

TEST(PolicyDocument, JsonReadsTheSameVocabulary) {
  const auto set = PolicySet::from_json(kFullJson);
  ASSERT_TRUE(set.has_value()) << set.error().display();
  EXPECT_EQ(*set, full_set());
  const auto empty = PolicySet::from_json("{}");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->policies.empty());
  const auto single = PolicySet::from_json(R"({"policy": []})");
  ASSERT_TRUE(single.has_value());
}

TEST(PolicyDocument, JsonStrictnessAtEveryLevel) {
  auto with_rule = [](const std::string& rule_members) {
    return "{\"policies\": [{\"name\": \"r\", \"effect\": \"permit\"" + rule_members + "}]}";
  };
  auto with_condition = [&](const std::string& c) { return with_rule(", \"conditions\": [" + c + "]"); };
  struct Case {
    std::string text;
    std::string message;  // empty: a syntax error of the JSON reader
    std::string at;       // the error is positioned at the last occurrence of this text
  };
  const std::string kinds =
      "one of `identity_role`, `identity_kind`, `identity_id`, `action`, `param_max`, `param_min`, "
      "`param_in`, `rate_limit`, `session_age_max`, `resource`, `time_window`";
  const Case cases[] = {
      {R"({"version": 1})", "unknown field `version`, expected `policies` or `policy`", "\"version\""},
      {R"({"policy": [], "policies": []})", "duplicate field `policy`", "\"policies\""},
      {R"({"policies": [], "policy": []})", "duplicate field `policy`", "\"policy\""},
      {R"({"policies": [], "policies": []})", "duplicate field `policy`", "\"policies\""},
      {R"([])", "invalid type: sequence, expected struct PolicySet", "["},
      {R"({"policies": {}})", "invalid type: map, expected a sequence", "{}"},
      {R"({"policies": [7]})", "invalid type: integer `7`, expected struct Policy", "7"},
      {with_rule(""), "missing field `conditions`", "{\"name\""},
      {with_rule(", \"conditions\": [], \"name\": \"again\""), "duplicate field `name`", "\"name\""},
      {with_rule(", \"conditions\": [], \"nme\": 1"),
       "unknown field `nme`, expected one of `name`, `effect`, `conditions`, `description`, `priority`", "\"nme\""},
      {with_rule(", \"conditions\": [], \"priority\": 10.0"), "invalid type: floating point `10.0`, expected u32",
       "10.0"},
      {with_rule(", \"conditions\": [], \"priority\": -1"), "invalid value: integer `-1`, expected u32", "-1"},
      {with_rule(", \"conditions\": [], \"priority\": 4294967296"),
       "invalid value: integer `4294967296`, expected u32", "4294967296"},
      {with_rule(", \"conditions\": [], \"priority\": 1e2"), "invalid type: floating point `100.0`, expected u32",
       "1e2"},
      {with_rule(", \"conditions\": [], \"description\": 3"), "invalid type: integer `3`, expected a string", "3"},
      {with_rule(", \"conditions\": [], \"effect\": \"refuse\""), "duplicate field `effect`", "\"effect\""},
      {"{\"policies\": [{\"name\": \"r\", \"effect\": \"Permit\", \"conditions\": []}]}",
       "unknown variant `Permit`, expected `permit` or `refuse`", "\"Permit\""},
      {with_condition("\"action\""), "invalid type: string \"action\", expected map with a single key",
       "\"action\""},
      {with_condition("{}"), "invalid value: empty map, expected map with a single key", "{}"},
      {with_condition(R"({"action": "a", "resource": "b"})"),
       "invalid value: map with more than one key, expected map with a single key", "\"resource\""},
      {with_condition(R"({"identity_kinds": "user"})"), "unknown variant `identity_kinds`, expected " + kinds,
       "\"identity_kinds\""},
      {with_condition(R"({"identity_kind": "robot"})"),
       "unknown variant `robot`, expected one of `user`, `agent`, `service`, `scheduler`, `external`",
       "\"robot\""},
      {with_condition(R"({"param_max": {"field": "a", "max": 1, "min": 0}})"),
       "unknown field `min`, expected `field` or `max`", "\"min\""},
      {with_condition(R"({"param_max": {"field": "a", "max": "100"}})"), "invalid type: string \"100\", expected f64",
       "\"100\""},
      {with_condition(R"({"param_in": {"field": "a", "values": [1]}})"), "invalid type: integer `1`, expected a string",
       "1]"},
      {with_condition(R"({"rate_limit": {"max": 2}})"), "missing field `window`", "{\"max\""},
      {with_condition(R"({"rate_limit": {"max": 2.0, "window": "1m"}})"),
       "invalid type: floating point `2.0`, expected u32", "2.0"},
      {R"({"policies": [)", "", ""},
      {"{\"policies\": []} x", "", ""},
      {"{\"policies\": [], }", "", ""},
      {"{\"policies\": \"\xff\"}", "", ""},
      {"{\"policies\": [], \"policies\" []}", "", ""},
  };
  for (const auto& c : cases) {
    const auto set = PolicySet::from_json(c.text);
    ASSERT_FALSE(set.has_value()) << c.text;
    if (c.message.empty()) {
      EXPECT_EQ(set.error().kind, common::json::SchemaError::Kind::Syntax) << c.text;
      EXPECT_FALSE(set.error().display().empty());
      continue;
    }
    const std::size_t column = c.text.rfind(c.at) + 1;
    EXPECT_EQ(set.error().display(), c.message + " at line 1 column " + std::to_string(column)) << c.text;
  }
}

TEST(PolicyDocument, TheThreeCarriersAgreeOnMessages) {
  // The same mistake in each carrier gives the same standard text (positions aside).
  const auto t = PolicySet::from_toml("[[policy]]\nname=\"r\"\neffect=\"permit\"\nconditions=[{param_max={field=\"a\",max=1,min=0}}]");
  const auto j = PolicySet::from_json(
      R"({"policy":[{"name":"r","effect":"permit","conditions":[{"param_max":{"field":"a","max":1,"min":0}}]}]})");
  Object payload{{"field", "a"}, {"max", std::uint64_t{1}}, {"min", std::uint64_t{0}}};
  const auto v = PolicySet::from_value(Object{
      {"policy", Array{Value(Object{{"name", "r"},
                                    {"effect", "permit"},
                                    {"conditions", Array{Value(Object{{"param_max", std::move(payload)}})}}})}}});
  ASSERT_FALSE(t.has_value());
  ASSERT_FALSE(j.has_value());
  ASSERT_FALSE(v.has_value());
  const std::string text = "unknown field `min`, expected `field` or `max`";
  EXPECT_EQ(t.error().text.substr(0, text.size()), text);
  EXPECT_EQ(j.error().message, text);
  EXPECT_EQ(v.error().display(), text);  // no position for the data model
}

// Random byte mutations of valid documents: every result is a whole set or an error with a
// message, never a crash, a hang or a partial read (the sanitizer build runs this too).
TEST(PolicyDocument, MutatedDocumentsNeverBreakTheReaders) {
  std::mt19937 rng(20240611);
  const std::string seeds[] = {kFullToml, kFullJson};
  const std::string alphabet = "{}[]\",:=.-+01e \n\t\\'#\x00\xff\xc3\xa9zpolicy";
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    const bool is_toml = round % 2 == 0;
    std::string text = seeds[is_toml ? 0 : 1];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t pos = rng() % text.size();
      switch (rng() % 4) {
        case 0: text[pos] = alphabet[rng() % alphabet.size()]; break;
        case 1: text.erase(pos, 1 + rng() % 8); break;
        case 2: text.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
        default: {  // repeat a slice, which duplicates keys and rules
          const std::size_t len = std::min<std::size_t>(1 + rng() % 40, text.size() - pos);
          text.insert(pos, text.substr(pos, len));
        }
      }
    }
    if (is_toml) {
      const auto set = PolicySet::from_toml(text);
      if (set) {
        ++accepted;
        // Reading is deterministic: the same text gives the same set.
        EXPECT_EQ(*set, *PolicySet::from_toml(text));
      } else {
        EXPECT_FALSE(set.error().text.empty());
      }
    } else {
      const auto set = PolicySet::from_json(text);
      if (set) {
        ++accepted;
        EXPECT_EQ(*set, *PolicySet::from_json(text));
      } else {
        EXPECT_FALSE(set.error().display().empty());
      }
    }
  }
  // Some mutations (inside strings, whitespace) keep documents valid; most do not.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 3000);
}


TEST(PolicyDocument, DeepNestingIsRefusedWithoutExhaustingTheStack) {
  const std::string deep_toml = "policy = " + std::string(100000, '[') + std::string(100000, ']');
  const auto t = PolicySet::from_toml(deep_toml);
  ASSERT_FALSE(t.has_value());
  const std::string deep_inline = "a = " + [] {
    std::string s;
    for (int i = 0; i < 5000; ++i) s += "{b = ";
    s += "1";
    s += std::string(5000, '}');
    return s;
  }();
  EXPECT_FALSE(PolicySet::from_toml(deep_inline).has_value());
  const std::string deep_json = "{\"policies\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  const auto j = PolicySet::from_json(deep_json);
  ASSERT_FALSE(j.has_value());
  EXPECT_FALSE(j.error().display().empty());
  // Nested where the schema does not look first, the reader's depth limit refuses it.
  const std::string deep_name = "{\"policies\": [{\"name\": " + std::string(100000, '[') + "]}]}";
  const auto n = PolicySet::from_json(deep_name);
  ASSERT_FALSE(n.has_value());
}

TEST(PolicyDocument, LargeDocumentsAreReadWhole) {
  std::string conditions;
  for (int i = 0; i < 20000; ++i) conditions += "{ action = \"a" + std::to_string(i) + "\" },";
  const auto set = PolicySet::from_toml("policy = [{ name = \"x\", effect = \"permit\", conditions = [" + conditions + "] }]");
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->policies.at(0).conditions.size(), 20000u);
}

}  // namespace
}  // namespace ostrel::core
