#pragma once
// The standard messages of every typed JSON (and TOML) record reader.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace ostrel::common::json {

struct SchemaError {
  enum class Kind {
    Syntax,          // the text is not well-formed JSON (or TOML)
    MissingField,    // "missing field `{}`"
    DuplicateField,  // "duplicate field `{}`"
    UnknownField,    // "unknown field `{}`, expected {}"
    UnknownVariant,  // "unknown variant `{}`, expected {}"
    InvalidType,     // "invalid type: {}, expected {}"
    InvalidValue,    // "invalid value: {}, expected {}"
    Custom,          // a record's own message
  };
  Kind kind;
  std::string message;  // the standard text, without position
  std::size_t line = 0;    // 1-based position in the source text, 0 when not known
  std::size_t column = 0;

  // The message, followed by " at line {} column {}" when the position is known.
  std::string display() const;

  static SchemaError syntax(std::string message);
  static SchemaError missing_field(std::string_view field);
  static SchemaError duplicate_field(std::string_view field);
  static SchemaError unknown_field(std::string_view field, std::span<const std::string_view> expected);
  static SchemaError unknown_variant(std::string_view variant, std::span<const std::string_view> expected);
  // `unexpected` describes what was found, e.g. "floating point `10.0`", "string \"x\"", "integer `-1`",
  // "boolean `true`", "null", "sequence", "map"; `expected` what was wanted, e.g. "u32", "a string".
  static SchemaError invalid_type(std::string_view unexpected, std::string_view expected);
  static SchemaError invalid_value(std::string_view unexpected, std::string_view expected);
  static SchemaError custom(std::string message);
};

// The expected-name list of the messages: "`a` or `b`"; "one of `a`, `b`, `c`"; "`a`" alone;
// "there are no fields" / "there are no variants" are the texts for an empty list.
std::string expected_names(std::span<const std::string_view> names);

}  // namespace ostrel::common::json
