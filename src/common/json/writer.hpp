#pragma once
// The one JSON writer: compact output (no whitespace), members in the order they are written.
//
//   Writer w;
//   w.begin_object().key("id").string(id).key("count").u64(n).end_object();
//   std::string text = std::move(w).take();
//
// Commas and colons are placed by the writer; callers only say what comes next. Strings are
// escaped as JSON requires and otherwise written as UTF-8; integers are exact; floats use the
// shortest text that reads back to the same value, always with a fraction or an exponent
// (10.0, 0.1, 1e+300), and a non-finite float is written as null.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json/value.hpp"

namespace ostrel::common::json {

class Writer {
 public:
  Writer() = default;
  explicit Writer(std::size_t reserve) { out_.reserve(reserve); }

  Writer& begin_object();
  Writer& end_object();
  Writer& begin_array();
  Writer& end_array();
  // The next member's name; the member's value is whatever is written next.
  Writer& key(std::string_view name);

  Writer& string(std::string_view s);
  Writer& u64(std::uint64_t v);
  Writer& i64(std::int64_t v);
  Writer& f64(double v);
  Writer& boolean(bool v);
  Writer& null();
  Writer& value(const Value& v);
  // Writes raw, already well-formed JSON text as the next value (for nesting a record written
  // by another writer).
  Writer& raw(std::string_view json);

  // Optional values are written as null when absent.
  Writer& optional_string(const std::optional<std::string>& s) { return s ? string(*s) : null(); }
  Writer& optional_f64(const std::optional<double>& v) { return v ? f64(*v) : null(); }

  // Strings are expected to be UTF-8. A byte sequence that is not is written as U+FFFD so the
  // output stays valid JSON; this reports whether that happened.
  bool replaced_invalid_utf8() const { return replaced_invalid_utf8_; }

  const std::string& str() const& { return out_; }
  std::string take() && { return std::move(out_); }

 private:
  void separate();

  std::string out_;
  bool need_comma_ = false;
  bool replaced_invalid_utf8_ = false;
};

// Compact JSON text of a value; object members come out in the value's (sorted) key order.
std::string to_json(const Value& v);

// Appends `s` as a quoted, escaped JSON string. Returns false when invalid UTF-8 was replaced.
bool append_string(std::string& out, std::string_view s);
// Appends a float in the writer's form (shortest round trip, fraction or exponent always present;
// NaN and infinities as null).
void append_f64(std::string& out, double v);

}  // namespace ostrel::common::json
