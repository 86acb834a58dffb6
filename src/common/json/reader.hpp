#pragma once
// The one JSON reading layer: every typed record reader walks its document through `Node`, so
// all of them report the same standard messages (SchemaError) with the line and column of the
// offending key or value, reject duplicate keys, and reject malformed JSON anywhere in the text,
// including inside values they skip.
//
// A record reader looks like this:
//
//   constexpr std::string_view kFields[] = {"id", "name", "tags"};
//   constexpr json::ObjectSchema kSchema{
//       .expecting = "struct Thing", .fields = kFields, .required = json::field_bit(0)};
//
//   Result<Thing, SchemaError> Thing::from_json(std::string_view text) {
//     Thing t;
//     auto r = json::read_document(text, [&](json::Node& root) {
//       return root.object(kSchema, [&](std::size_t field, json::Node& v) -> Result<void, SchemaError> {
//         switch (field) {
//           case 0: return assign(t.id, v.u64());
//           ...
//         }
//       });
//     });
//     if (!r) return fail(r.error());
//     return t;
//   }
//
// Rules that hold for every Node:
// - A Node is valid only inside the callback that received it; values are read in document order
//   and each at most once. A value a callback leaves unread is skipped (and still validated).
// - Every getter either returns the value or a SchemaError already carrying the value's position.
//   Type mismatches give "invalid type: {found}, expected {expected}", range errors "invalid value:
//   ...", where {found} describes the value ("integer `-1`", "floating point `10.0`",
//   "string \"abc\"", "boolean `true`", "null", "sequence", "map").
// - Malformed JSON (truncated text, invalid UTF-8, bad escapes, numbers out of range, trailing
//   characters, nesting deeper than kMaxDepth) is a SchemaError of kind Syntax.
// - Strings returned as string_view stay valid until read_document returns.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/function_ref.hpp"
#include "common/json/schema_error.hpp"
#include "common/json/value.hpp"

namespace ostrel::common::json {

// Objects and arrays nested deeper than this are refused as a syntax error.
inline constexpr std::uint32_t kMaxDepth = 128;

enum class NodeKind : std::uint8_t { Null, Boolean, Number, String, Array, Object };

enum class UnknownFields : std::uint8_t {
  Skip,    // unknown keys are read over (their values still validated)
  Reject,  // "unknown field `{}`, expected {the field list}"
};

// A second spelling of a field: both in one object are a duplicate, reported under the field's name.
struct FieldAlias {
  std::uint8_t alias;  // index in ObjectSchema::fields
  std::uint8_t field;  // index of the field it stands for
};

constexpr std::uint64_t field_bit(std::size_t index) { return std::uint64_t{1} << index; }

// How a record is laid out as a JSON object. Usually a constexpr object next to its reader.
struct ObjectSchema {
  std::string_view expecting;                // what a non-object is reported against, e.g. "struct SessionState"
  std::span<const std::string_view> fields;  // at most 64; also the list in "unknown field" messages
  std::uint64_t required = 0;                // field_bit(i) for each field that must be present
  UnknownFields unknown = UnknownFields::Skip;
  std::span<const FieldAlias> aliases = {};
  // Also accept an array of the field values in field order (every field is then expected, in
  // order; a shorter or longer array is an "invalid length" error).
  bool accept_array = false;
};

class Node;
using FieldFn = FunctionRef<Result<void, SchemaError>(std::size_t field, Node& value)>;
using MemberFn = FunctionRef<Result<void, SchemaError>(std::string_view key, Node& value)>;
using ElementFn = FunctionRef<Result<void, SchemaError>(Node& element)>;
using RootFn = FunctionRef<Result<void, SchemaError>(Node& root)>;

namespace detail {
struct Context;
struct NodeAccess;
}  // namespace detail

class Node {
 public:
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Looks at the value without reading it.
  Result<NodeKind, SchemaError> kind();

  // True, and the value read, when it is null; false (nothing read) otherwise.
  Result<bool, SchemaError> null();

  Result<std::string, SchemaError> string(std::string_view expected = "a string");
  Result<std::string_view, SchemaError> string_view(std::string_view expected = "a string");
  Result<std::uint64_t, SchemaError> u64(std::string_view expected = "u64");
  Result<std::uint32_t, SchemaError> u32(std::string_view expected = "u32");
  Result<std::uint8_t, SchemaError> u8(std::string_view expected = "u8");
  Result<std::int64_t, SchemaError> i64(std::string_view expected = "i64");
  // Any JSON number; integers are converted.
  Result<double, SchemaError> f64(std::string_view expected = "f64");
  Result<bool, SchemaError> boolean(std::string_view expected = "a boolean");

  // Null reads as empty.
  Result<std::optional<std::string>, SchemaError> optional_string(std::string_view expected = "a string");
  Result<std::optional<double>, SchemaError> optional_f64(std::string_view expected = "f64");

  // An array of integers 0 to 255.
  Result<std::vector<std::uint8_t>, SchemaError> bytes(std::string_view expected = "a byte array");

  // A record: calls on_field(index of the field in schema.fields, value) for each known key, in
  // document order. A key given twice is "duplicate field `{}`" (also for skipped unknown keys);
  // after the object, the first required field not seen (in schema order) is "missing field `{}`".
  Result<void, SchemaError> object(const ObjectSchema& schema, FieldFn on_field);
  // An object with arbitrary keys (a map); duplicate keys are refused.
  Result<void, SchemaError> members(MemberFn on_member, std::string_view expected = "a map");
  Result<void, SchemaError> elements(ElementFn on_element, std::string_view expected = "a sequence");

  // A string naming one of `variants`; returns its index. Any other string is
  // "unknown variant `{}`, expected {the list}".
  Result<std::size_t, SchemaError> variant_name(std::span<const std::string_view> variants,
                                                std::string_view expected);
  // An object with exactly one key, naming one of `variants`; calls on_variant(index, payload).
  Result<void, SchemaError> variant(std::span<const std::string_view> variants, FieldFn on_variant,
                                    std::string_view expected);

  // Any value, converted to the data model: non-negative integers become unsigned, negative ones
  // signed, numbers with a fraction or exponent floats. Duplicate keys are refused.
  Result<Value, SchemaError> value();
  // Reads over the value, validating it.
  Result<void, SchemaError> skip();

  // `e` positioned at this value, for record-level checks such as a malformed identifier.
  SchemaError error(SchemaError e) const;

 private:
  friend struct detail::NodeAccess;
  Node(detail::Context* ctx, void* target, bool is_document, std::uint32_t depth, const char* pos)
      : ctx_(ctx), target_(target), is_document_(is_document), depth_(depth), pos_(pos) {}

  detail::Context* ctx_;
  void* target_;
  bool is_document_;
  std::uint32_t depth_;
  const char* pos_;  // first byte of the value in the source text
  bool consumed_ = false;
};

// Reads `text` as one JSON document: calls read_root with its top-level value, then checks that
// only whitespace follows.
Result<void, SchemaError> read_document(std::string_view text, RootFn read_root);
// Reads a document held in the data model (for example converted from Python objects) with the
// same rules as text. Errors carry no position.
Result<void, SchemaError> read_document_from_value(const Value& document, RootFn read_root);
// Any JSON text into the data model.
Result<Value, SchemaError> read_value(std::string_view text);

// What the messages call a string value: string "..." with quotes, backslashes and control
// characters escaped.
std::string describe_string(std::string_view s);

// Stores a getter's value into `out`, passing an error on.
template <class T, class U>
Result<void, SchemaError> assign(T& out, Result<U, SchemaError>&& r) {
  if (!r) return fail(std::move(r.error()));
  out = std::move(*r);
  return {};
}

}  // namespace ostrel::common::json
