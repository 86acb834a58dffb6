#pragma once
// The JSON data model: null, boolean, number (unsigned, signed or 64-bit float), string,
// array, object. Used for action parameters and for documents converted from Python objects.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrel::common::json {

class Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;

class Value {
 public:
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string,
                               Array, Object>;

  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  Value(std::uint64_t u) : v_(u) {}
  Value(std::int64_t i) : v_(i) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}
  // A float that is NaN or infinite has no JSON form and becomes null.
  static Value number(double d);

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v_); }
  bool is_number() const {
    return std::holds_alternative<std::uint64_t>(v_) || std::holds_alternative<std::int64_t>(v_) ||
           std::holds_alternative<double>(v_);
  }
  // Any number as a float (integers converted); empty for every other kind.
  std::optional<double> as_f64() const;
  const std::string* as_string() const { return std::get_if<std::string>(&v_); }
  const Array* as_array() const { return std::get_if<Array>(&v_); }
  const Object* as_object() const { return std::get_if<Object>(&v_); }

  const Storage& storage() const { return v_; }
  Storage& storage() { return v_; }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage v_;
};

}  // namespace ostrel::common::json
