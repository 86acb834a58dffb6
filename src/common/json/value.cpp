#include "common/json/value.hpp"

#include <cmath>

namespace ostrel::common::json {

Value Value::number(double d) {
  if (!std::isfinite(d)) return Value(nullptr);
  return Value(d);
}

std::optional<double> Value::as_f64() const {
  if (const auto* u = std::get_if<std::uint64_t>(&v_)) return static_cast<double>(*u);
  if (const auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v_)) return *d;
  return std::nullopt;
}

}  // namespace ostrel::common::json
