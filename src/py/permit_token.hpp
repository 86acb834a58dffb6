#pragma once
// Python class PermitToken, wrapping core::PermitToken.
#include <Python.h>

#include <string_view>

#include "core/permit_token.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::PermitToken> {
  static constexpr std::string_view name = "PermitToken";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
