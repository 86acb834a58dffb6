#include "common/json/reader.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/json/writer.hpp"

namespace ostrel::common::json {
namespace {

TEST(SchemaError, StandardTextsAndPositions) {
  constexpr std::string_view one[] = {"a"};
  constexpr std::string_view two[] = {"permit", "refuse"};
  constexpr std::string_view three[] = {"name", "effect", "conditions"};
  EXPECT_EQ(expected_names(one), "`a`");
  EXPECT_EQ(expected_names(two), "`permit` or `refuse`");
  EXPECT_EQ(expected_names(three), "one of `name`, `effect`, `conditions`");

  EXPECT_EQ(SchemaError::missing_field("conditions").display(), "missing field `conditions`");
  EXPECT_EQ(SchemaError::duplicate_field("policy").display(), "duplicate field `policy`");
  EXPECT_EQ(SchemaError::unknown_field("min", two).display(), "unknown field `min`, expected `permit` or `refuse`");
  EXPECT_EQ(SchemaError::unknown_field("x", {}).display(), "unknown field `x`, there are no fields");
  EXPECT_EQ(SchemaError::unknown_variant("deny", two).display(),
            "unknown variant `deny`, expected `permit` or `refuse`");
  EXPECT_EQ(SchemaError::unknown_variant("deny", {}).display(), "unknown variant `deny`, there are no variants");
  EXPECT_EQ(SchemaError::invalid_type("floating point `10.0`", "u32").display(),
            "invalid type: floating point `10.0`, expected u32");
  EXPECT_EQ(SchemaError::invalid_value("integer `-1`", "u32").display(), "invalid value: integer `-1`, expected u32");
  EXPECT_EQ(SchemaError::custom("anything").display(), "anything");

  SchemaError e = SchemaError::missing_field("a");
  e.line = 3;
  e.column = 14;
  EXPECT_EQ(e.display(), "missing field `a` at line 3 column 14");
  EXPECT_EQ(e.message, "missing field `a`");
}

// A record exercising every getter.
struct Rec {
  std::uint64_t id = 0;
  std::uint32_t small = 0;
  std::int64_t delta = 0;
  double ratio = 0;
  std::string name;
  bool flag = false;
  std::optional<std::string> note;
  std::vector<std::uint8_t> key;
  std::size_t kind = 0;
  std::vector<std::string> tags;
};

constexpr std::string_view kRecFields[] = {"id", "small", "delta", "ratio", "name", "flag", "note", "key", "kind", "tags"};
constexpr std::string_view kKinds[] = {"user", "agent", "service"};

Result<Rec, SchemaError> read_rec(std::string_view text, UnknownFields unknown = UnknownFields::Skip) {
  const ObjectSchema schema{.expecting = "struct Rec",
                            .fields = kRecFields,
                            .required = field_bit(0) | field_bit(4),
                            .unknown = unknown};
  Rec rec;
  auto r = read_document(text, [&](Node& root) {
    return root.object(schema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
      switch (field) {
        case 0:
          return assign(rec.id, v.u64());
        case 1:
          return assign(rec.small, v.u32());
        case 2:
          return assign(rec.delta, v.i64());
        case 3:
          return assign(rec.ratio, v.f64());
        case 4:
          return assign(rec.name, v.string());
        case 5:
          return assign(rec.flag, v.boolean());
        case 6:
          return assign(rec.note, v.optional_string());
        case 7:
          return assign(rec.key, v.bytes());
        case 8:
          return assign(rec.kind, v.variant_name(kKinds, "a principal kind"));
        default:
          return v.elements([&](Node& e) -> Result<void, SchemaError> {
            auto s = e.string();
            if (!s) return fail(s.error());
            rec.tags.push_back(std::move(*s));
            return {};
          });
      }
    });
  });
  if (!r) return fail(r.error());
  return rec;
}

TEST(JsonReader, ReadsEveryGetterInAnyKeyOrder) {
  auto rec = read_rec(
      R"( {"tags":["x","y\n"],"kind":"agent","key":[0,255,7],"note":null,"flag":true,"name":"n\u00e9",)"
      R"("ratio":100,"delta":-9223372036854775808,"small":4294967295,"id":18446744073709551615,"extra":{"deep":[1,2.5,null]}} )");
  ASSERT_TRUE(rec) << rec.error().display();
  EXPECT_EQ(rec->id, 18446744073709551615u);
  EXPECT_EQ(rec->small, 4294967295u);
  EXPECT_EQ(rec->delta, INT64_MIN);
  EXPECT_EQ(rec->ratio, 100.0);
  EXPECT_EQ(rec->name, "n\xc3\xa9");
  EXPECT_TRUE(rec->flag);
  EXPECT_FALSE(rec->note.has_value());
  EXPECT_EQ(rec->key, (std::vector<std::uint8_t>{0, 255, 7}));
  EXPECT_EQ(rec->kind, 1u);
  EXPECT_EQ(rec->tags, (std::vector<std::string>{"x", "y\n"}));

  auto minimal = read_rec(R"({"name":"","id":0,"note":"set"})");
  ASSERT_TRUE(minimal) << minimal.error().display();
  EXPECT_EQ(minimal->note, "set");
}

TEST(JsonReader, SchemaViolationsGiveTheStandardTextAtTheOffendingPlace) {
  struct Case {
    const char* text;
    SchemaError::Kind kind;
    const char* display;
  };
  using K = SchemaError::Kind;
  const Case cases[] = {
      {R"({"name":"x"})", K::MissingField, "missing field `id` at line 1 column 1"},
      {R"({"id":1})", K::MissingField, "missing field `name` at line 1 column 1"},
      {R"({"id":1,"name":"x","id":2})", K::DuplicateField, "duplicate field `id` at line 1 column 20"},
      {R"({"id":1,"name":"x","zz":1,"zz":2})", K::DuplicateField, "duplicate field `zz` at line 1 column 27"},
      {R"({"id":-1,"name":"x"})", K::InvalidValue, "invalid value: integer `-1`, expected u64 at line 1 column 7"},
      {R"({"id":10.0,"name":"x"})", K::InvalidType,
       "invalid type: floating point `10.0`, expected u64 at line 1 column 7"},
      {R"({"id":"7","name":"x"})", K::InvalidType, "invalid type: string \"7\", expected u64 at line 1 column 7"},
      {R"({"id":1,"name":"x","small":4294967296})", K::InvalidValue,
       "invalid value: integer `4294967296`, expected u32 at line 1 column 28"},
      {R"({"id":1,"name":"x","delta":9223372036854775808})", K::InvalidValue,
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 28"},
      {R"({"id":1,"name":"x","delta":1e3})", K::InvalidType,
       "invalid type: floating point `1000.0`, expected i64 at line 1 column 28"},
      {R"({"id":1,"name":"x","ratio":"1.5"})", K::InvalidType,
       "invalid type: string \"1.5\", expected f64 at line 1 column 28"},
      {R"({"id":1,"name":true})", K::InvalidType, "invalid type: boolean `true`, expected a string at line 1 column 16"},
      {R"({"id":1,"name":null})", K::InvalidType, "invalid type: null, expected a string at line 1 column 16"},
      {R"({"id":1,"name":["x"]})", K::InvalidType, "invalid type: sequence, expected a string at line 1 column 16"},
      {R"({"id":1,"name":{"x":1}})", K::InvalidType, "invalid type: map, expected a string at line 1 column 16"},
      {R"({"id":1,"name":"x","flag":0})", K::InvalidType, "invalid type: integer `0`, expected a boolean at line 1 column 27"},
      {R"({"id":1,"name":"x","note":5})", K::InvalidType, "invalid type: integer `5`, expected a string at line 1 column 27"},
      {R"({"id":1,"name":"x","key":[1,256]})", K::InvalidValue,
       "invalid value: integer `256`, expected u8 at line 1 column 29"},
      {R"({"id":1,"name":"x","key":"AAEC"})", K::InvalidType,
       "invalid type: string \"AAEC\", expected a byte array at line 1 column 26"},
      {R"({"id":1,"name":"x","kind":"robot"})", K::UnknownVariant,
       "unknown variant `robot`, expected one of `user`, `agent`, `service` at line 1 column 27"},
      {R"({"id":1,"name":"x","kind":"User"})", K::UnknownVariant, nullptr},
      {R"({"id":1,"name":"x","kind":1})", K::InvalidType,
       "invalid type: integer `1`, expected a principal kind at line 1 column 27"},
      {R"({"id":1,"name":"x","tags":"a"})", K::InvalidType,
       "invalid type: string \"a\", expected a sequence at line 1 column 27"},
      {R"({"id":1,"name":"x","tags":["a",1]})", K::InvalidType,
       "invalid type: integer `1`, expected a string at line 1 column 32"},
      {"{\"id\":1,\n \"name\":\"x\",\n \"small\":-3}", K::InvalidValue,
       "invalid value: integer `-3`, expected u32 at line 3 column 10"},
      {R"({"id":1,"name":"\"q\\\u0001"})", K::MissingField, nullptr},
      {"[1,2]", K::InvalidType, "invalid type: sequence, expected struct Rec at line 1 column 1"},
      {R"("text")", K::InvalidType, "invalid type: string \"text\", expected struct Rec at line 1 column 1"},
      {"null", K::InvalidType, "invalid type: null, expected struct Rec at line 1 column 1"},
      {"  42", K::InvalidType, "invalid type: integer `42`, expected struct Rec at line 1 column 3"},
  };
  for (const auto& c : cases) {
    auto rec = read_rec(c.text);
    if (c.kind == K::MissingField && c.display == nullptr) {
      // Valid text with escapes; only the id/name requirement matters here.
      ASSERT_TRUE(rec) << c.text << ": " << rec.error().display();
      EXPECT_EQ(rec->name, "\"q\\\x01");
      continue;
    }
    ASSERT_FALSE(rec) << c.text;
    EXPECT_EQ(rec.error().kind, c.kind) << c.text << ": " << rec.error().display();
    if (c.display) {
      EXPECT_EQ(rec.error().display(), c.display) << c.text;
    }
  }
}

TEST(JsonReader, StrictSchemasRejectUnknownKeysWithTheFieldList) {
  auto rec = read_rec(R"({"id":1,"name":"x","colour":1})", UnknownFields::Reject);
  ASSERT_FALSE(rec);
  EXPECT_EQ(rec.error().kind, SchemaError::Kind::UnknownField);
  EXPECT_EQ(rec.error().message,
            "unknown field `colour`, expected one of `id`, `small`, `delta`, `ratio`, `name`, `flag`, `note`, "
            "`key`, `kind`, `tags`");
  EXPECT_EQ(rec.error().column, 20u);
}

TEST(JsonReader, AliasesShareOneFieldAndItsDuplicateName) {
  constexpr std::string_view fields[] = {"policies", "policy"};
  constexpr FieldAlias aliases[] = {{0, 1}};
  const ObjectSchema schema{.expecting = "struct PolicySet",
                            .fields = fields,
                            .unknown = UnknownFields::Reject,
                            .aliases = aliases};
  const auto read = [&](std::string_view text) -> Result<std::vector<std::size_t>, SchemaError> {
    std::vector<std::size_t> got;
    auto r = read_document(text, [&](Node& root) {
      return root.object(schema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
        got.push_back(field);
        return v.skip();
      });
    });
    if (!r) return fail(r.error());
    return got;
  };
  EXPECT_EQ(*read(R"({"policies":[]})"), std::vector<std::size_t>{1});
  EXPECT_EQ(*read(R"({"policy":[]})"), std::vector<std::size_t>{1});
  EXPECT_EQ(*read("{}"), std::vector<std::size_t>{});
  auto both = read(R"({"policy":[],"policies":[]})");
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error().message, "duplicate field `policy`");
  auto other = read(R"({"version":1})");
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().message, "unknown field `version`, expected `policies` or `policy`");
}

TEST(JsonReader, RecordsCanAlsoBeReadFromAnArrayInFieldOrder) {
  constexpr std::string_view fields[] = {"a", "b"};
  const ObjectSchema schema{.expecting = "struct Pair", .fields = fields, .required = 3, .accept_array = true};
  const auto read = [&](std::string_view text) -> Result<std::pair<std::uint64_t, std::string>, SchemaError> {
    std::pair<std::uint64_t, std::string> out;
    auto r = read_document(text, [&](Node& root) {
      return root.object(schema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
        return field == 0 ? assign(out.first, v.u64()) : assign(out.second, v.string());
      });
    });
    if (!r) return fail(r.error());
    return out;
  };
  EXPECT_EQ(*read(R"([7,"x"])"), std::make_pair(std::uint64_t{7}, std::string("x")));
  EXPECT_EQ(*read(R"({"b":"x","a":7})"), std::make_pair(std::uint64_t{7}, std::string("x")));
  EXPECT_EQ(read(R"([7])").error().message, "invalid length 1, expected struct Pair with 2 elements");
  EXPECT_EQ(read(R"([7,"x",1])").error().message, "invalid length 3, expected struct Pair with 2 elements");
  EXPECT_EQ(read(R"(["x",7])").error().message, "invalid type: string \"x\", expected u64");
}

TEST(JsonReader, VariantObjectsHoldExactlyOneKnownKey) {
  constexpr std::string_view variants[] = {"session", "principal", "role"};
  const auto read = [&](std::string_view text) -> Result<std::pair<std::size_t, std::string>, SchemaError> {
    std::pair<std::size_t, std::string> out;
    auto r = read_document(text, [&](Node& root) {
      return root.variant(
          variants,
          [&](std::size_t index, Node& v) -> Result<void, SchemaError> {
            out.first = index;
            return assign(out.second, v.string());
          },
          "enum Target");
    });
    if (!r) return fail(r.error());
    return out;
  };
  EXPECT_EQ(*read(R"({"role":"admin"})"), std::make_pair(std::size_t{2}, std::string("admin")));
  EXPECT_EQ(read(R"({"group":"x"})").error().display(),
            "unknown variant `group`, expected one of `session`, `principal`, `role` at line 1 column 2");
  EXPECT_EQ(read(R"({"role":"a","principal":"b"})").error().display(),
            "invalid value: map with more than one key, expected enum Target at line 1 column 13");
  EXPECT_EQ(read("{}").error().display(), "invalid value: empty map, expected enum Target at line 1 column 1");
  EXPECT_EQ(read(R"("role")").error().display(),
            "invalid type: string \"role\", expected enum Target at line 1 column 1");
  EXPECT_EQ(read(R"({"role":5})").error().display(),
            "invalid type: integer `5`, expected a string at line 1 column 9");
}

TEST(JsonReader, MalformedTextIsASyntaxErrorWithItsPosition) {
  struct Case {
    std::string text;
    const char* display;
  };
  const Case cases[] = {
      {"", "the document is empty at line 1 column 1"},
      {" \n ", "the document is empty at line 2 column 2"},
      {R"({"id":1)", "unexpected end of the document at line 1 column 8"},
      {R"({"id":)", "unexpected end of the document at line 1 column 7"},
      {R"({"id)", "unterminated string at line 1 column 2"},
      {R"({"id":1,"name":"x"} x)", "trailing characters at line 1 column 21"},
      {R"({"id":1,"name":"x"}})", "trailing characters at line 1 column 20"},
      {R"({"id":1,"name":"x"}{})", "trailing characters at line 1 column 20"},
      {R"({"id":1,"name":"x"]})", "unexpected character `]` at line 1 column 19"},
      {R"({"id":1,})", "unexpected character `}` at line 1 column 9"},
      {R"({"id" 1})", "unexpected character `1` at line 1 column 7"},
      {R"({1:2})", "unexpected character `1` at line 1 column 2"},
      {R"({"id":01})", "invalid number at line 1 column 7"},
      {R"({"id":1.})", "invalid number at line 1 column 7"},
      {R"({"id":-})", "invalid number at line 1 column 7"},
      {R"({"id":18446744073709551616})", "number out of range at line 1 column 7"},
      {R"({"id":1,"ratio":1e400})", "number out of range at line 1 column 17"},
      {R"({"id":1,"name":"\q"})", "invalid escape in a string at line 1 column 16"},
      {R"({"id":1,"name":"\ud800"})", "invalid escape in a string at line 1 column 16"},
      {"{\"id\":1,\"name\":\"a\x01\"}", "control character byte 0x01 in a string at line 1 column 18"},
      {"{\"id\":1,\"name\":\"a\nb\"}", "control character byte 0x0a in a string at line 1 column 18"},
      {"{\"id\":1,\"name\":\"\xc3\x28\"}", "invalid UTF-8 at line 1 column 17"},
      {"{\"id\":1,\"name\":\"x\",\"\xff\":1}", "invalid UTF-8 at line 1 column 21"},
      {R"({"id":1,"name":"x","flag":tru})", "invalid literal tru, expected true, false or null at line 1 column 27"},
      {R"({"id":1,"name":"x","note":nul})", "invalid literal nul, expected true, false or null at line 1 column 27"},
      // Values the record skips are validated all the same.
      {R"({"id":1,"name":"x","other":[1,{"a":[tru]}]})", "invalid literal tru, expected true, false or null at line 1 column 37"},
      {R"({"id":1,"name":"x","other":"\x"})", "invalid escape in a string at line 1 column 28"},
      {R"({"id":1,"name":"x","other":[1 2]})", "unexpected character `2` at line 1 column 31"},
      {"{\"id\":1,\"name\":\"x\",\"other\":" + std::string(200, '[') + std::string(200, ']') + "}",
       "nesting deeper than 128 levels at line 1 column 155"},
      {"{\"id\":1,\"name\":\"x\",\"z\":" + std::string(100000, '{'), nullptr},
  };
  for (const auto& c : cases) {
    auto rec = read_rec(c.text);
    ASSERT_FALSE(rec) << c.text.substr(0, 80);
    EXPECT_EQ(rec.error().kind, SchemaError::Kind::Syntax) << c.text.substr(0, 80) << ": " << rec.error().display();
    if (c.display) {
      EXPECT_EQ(rec.error().display(), c.display) << c.text.substr(0, 80);
    }
  }
}

TEST(JsonReader, NestingUpToTheLimitIsAccepted) {
  const std::string ok = std::string(kMaxDepth, '[') + std::string(kMaxDepth, ']');
  EXPECT_TRUE(read_value(ok).has_value());
  const std::string deep = std::string(kMaxDepth + 1, '[') + std::string(kMaxDepth + 1, ']');
  auto r = read_value(deep);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "nesting deeper than 128 levels at line 1 column 129");
}

TEST(JsonReader, ReadsAnyDocumentIntoTheDataModel) {
  auto v = read_value(R"({"u":1,"n":-1,"f":1.0,"e":1e2,"z":-0,"s":"\u00e9","a":[true,null],"o":{}})");
  ASSERT_TRUE(v) << v.error().display();
  const Object& o = *v->as_object();
  EXPECT_EQ(o.at("u"), Value(std::uint64_t{1}));
  EXPECT_EQ(o.at("n"), Value(std::int64_t{-1}));
  EXPECT_EQ(o.at("f"), Value(1.0));
  EXPECT_EQ(o.at("e"), Value(100.0));
  EXPECT_EQ(o.at("z"), Value(std::uint64_t{0}));
  EXPECT_EQ(o.at("s"), Value("\xc3\xa9"));
  EXPECT_EQ(o.at("a"), Value(Array{Value(true), Value(nullptr)}));
  EXPECT_EQ(o.at("o"), Value(Object{}));
  for (const char* scalar : {"1", "-5", "2.5", "\"x\"", "true", "false", "null", " [] "}) {
    EXPECT_TRUE(read_value(scalar).has_value()) << scalar;
  }
  auto dup = read_value(R"({"a":{"b":1,"b":2}})");
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().display(), "duplicate field `b` at line 1 column 13");
  // Many keys: the duplicate check switches to hashing and still finds the repeat.
  std::string many = "{";
  for (int i = 0; i < 100; ++i) many += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  auto big = read_value(many + "\"k99\":0}");
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind, SchemaError::Kind::DuplicateField);
  EXPECT_TRUE(read_value(many + "\"k100\":0}").has_value());
  for (const std::string& bad : std::vector<std::string>{"1 2", "nul", "[1,]", "\"abc", "{\"a\"}", "-01", "null x", "[", "{",
                                 std::string(100000, '['), std::string(100000, '{')}) {
    auto r = read_value(bad);
    ASSERT_FALSE(r) << bad.substr(0, 40);
    EXPECT_EQ(r.error().kind, SchemaError::Kind::Syntax) << bad.substr(0, 40);
  }
  EXPECT_EQ(read_value(std::string(100000, '[')).error().display(),
            "unexpected end of the document at line 1 column 100001");
}

TEST(JsonReader, DocumentsFromTheDataModelFollowTheSameRulesWithoutPositions) {
  Object o;
  o.emplace("id", Value(std::uint64_t{5}));
  o.emplace("name", Value("n"));
  o.emplace("ratio", Value(std::int64_t{-3}));
  Rec rec;
  const ObjectSchema schema{.expecting = "struct Rec", .fields = kRecFields, .required = field_bit(0)};
  const auto reader = [&](Node& root) {
    return root.object(schema, [&](std::size_t field, Node& v) -> Result<void, SchemaError> {
      if (field == 0) return assign(rec.id, v.u32());
      if (field == 3) return assign(rec.ratio, v.f64());
      return v.skip();
    });
  };
  ASSERT_TRUE(read_document_from_value(Value(o), reader));
  EXPECT_EQ(rec.id, 5u);
  EXPECT_EQ(rec.ratio, -3.0);
  o["id"] = Value(5.0);
  auto r = read_document_from_value(Value(o), reader);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "invalid type: floating point `5.0`, expected u32");
  o.erase("id");
  EXPECT_EQ(read_document_from_value(Value(o), reader).error().display(), "missing field `id`");
}

TEST(JsonReader, CallbackErrorsArePositionedAndNestedReadsWork) {
  auto r = read_document(R"({"id": "abc"})", [](Node& root) {
    constexpr std::string_view fields[] = {"id"};
    return root.object(ObjectSchema{.expecting = "struct X", .fields = fields},
                       [](std::size_t, Node& v) -> Result<void, SchemaError> {
                         auto s = v.string();
                         if (!s) return fail(s.error());
                         // A record may read an embedded document while reading its own.
                         auto inner = read_value("[1,2]");
                         if (!inner || inner->as_array()->size() != 2) return fail(SchemaError::custom("nested"));
                         return fail(SchemaError::custom("bad id " + *s));
                       });
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "bad id abc at line 1 column 8");
}

TEST(JsonReader, DescribesStringsWithEscapes) {
  EXPECT_EQ(describe_string("a\"b\\c\n\x01"), "string \"a\\\"b\\\\c\\n\\u{1}\"");
}

}  // namespace
}  // namespace ostrel::common::json
