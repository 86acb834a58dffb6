#pragma once
// Python class DeviceFingerprint, wrapping core::DeviceFingerprint.
#include <Python.h>

#include <string_view>

#include "core/action.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::DeviceFingerprint> {
  static constexpr std::string_view name = "DeviceFingerprint";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
