#pragma once
// Internal to the JSON reader: the state of one document being read, and the messages and
// positions of malformed JSON. simdjson reports errors as coarse codes without a place; these
// functions, run only on the error path, say what is wrong and where.
#include <simdjson.h>

#include <string>
#include <string_view>

#include "common/json/schema_error.hpp"

namespace ostrel::common::json::detail {

namespace od = simdjson::ondemand;

struct Context {
  const char* base = nullptr;  // the padded copy of the text
  std::size_t length = 0;      // of the text, without padding
  od::document* doc = nullptr;
  bool positions = true;  // false for documents that have no text of their own
};

namespace diagnostics {

// `e` with the line and column of p (1-based; columns count characters), unless it has one.
SchemaError at(const Context& c, const char* p, SchemaError e);
const char* end_of(const Context& c);
// Where the document iterator stopped; the end of the text when it ran off it.
const char* current(const Context& c);
// "`c`" for printable ASCII, "byte 0xNN" otherwise.
std::string printable(unsigned char b);
// The scalar token starting at p (up to the next delimiter).
std::string_view token_at(const Context& c, const char* p);
SchemaError unexpected_at(const Context& c, const char* p);
SchemaError number_error(const Context& c, const char* p);
// Errors found before any value is read; they concern the whole text.
SchemaError first_pass_error(const Context& c, simdjson::error_code code);
// An error met while walking; p is the value being read when it arose.
SchemaError walk_error(const Context& c, simdjson::error_code code, const char* p);
SchemaError too_deep(const Context& c, const char* p, std::uint32_t limit);

}  // namespace diagnostics
}  // namespace ostrel::common::json::detail
