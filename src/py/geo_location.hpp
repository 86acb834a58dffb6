#pragma once
// Python class GeoLocation, wrapping core::GeoLocation.
#include <Python.h>

#include <string_view>

#include "core/action.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::GeoLocation> {
  static constexpr std::string_view name = "GeoLocation";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
