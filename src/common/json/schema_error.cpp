#include "common/json/schema_error.hpp"

namespace ostrel::common::json {
namespace {

std::string ticked(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '`';
  out += name;
  out += '`';
  return out;
}

}  // namespace

std::string SchemaError::display() const {
  if (line == 0) return message;
  std::string out = message;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);
  return out;
}

SchemaError SchemaError::syntax(std::string message) { return SchemaError{Kind::Syntax, std::move(message)}; }

SchemaError SchemaError::missing_field(std::string_view field) {
  return SchemaError{Kind::MissingField, "missing field " + ticked(field)};
}

SchemaError SchemaError::duplicate_field(std::string_view field) {
  return SchemaError{Kind::DuplicateField, "duplicate field " + ticked(field)};
}

SchemaError SchemaError::unknown_field(std::string_view field, std::span<const std::string_view> expected) {
  return SchemaError{Kind::UnknownField, "unknown field " + ticked(field) + ", " +
                                             (expected.empty() ? "there are no fields"
                                                               : "expected " + expected_names(expected))};
}

SchemaError SchemaError::unknown_variant(std::string_view variant, std::span<const std::string_view> expected) {
  return SchemaError{Kind::UnknownVariant, "unknown variant " + ticked(variant) + ", " +
                                               (expected.empty() ? "there are no variants"
                                                                 : "expected " + expected_names(expected))};
}

SchemaError SchemaError::invalid_type(std::string_view unexpected, std::string_view expected) {
  std::string m = "invalid type: ";
  m += unexpected;
  m += ", expected ";
  m += expected;
  return SchemaError{Kind::InvalidType, std::move(m)};
}

SchemaError SchemaError::invalid_value(std::string_view unexpected, std::string_view expected) {
  std::string m = "invalid value: ";
  m += unexpected;
  m += ", expected ";
  m += expected;
  return SchemaError{Kind::InvalidValue, std::move(m)};
}

SchemaError SchemaError::custom(std::string message) { return SchemaError{Kind::Custom, std::move(message)}; }

std::string expected_names(std::span<const std::string_view> names) {
  switch (names.size()) {
    case 0:
      return "there are no fields";
    case 1:
      return ticked(names[0]);
    case 2:
      return ticked(names[0]) + " or " + ticked(names[1]);
    default:
      break;
  }
  std::string out = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    out += ticked(names[i]);
  }
  return out;
}

}  // namespace ostrel::common::json
