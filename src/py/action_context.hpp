#pragma once
// Python class ActionContext, wrapping core::ActionContext. Other classes read the native
// context from an argument with Args::get<core::ActionContext>(i) (a copy, taken under a shared
// borrow) or Args::get<bind::Borrowed<core::ActionContext>>(i) (read in place).
#include <Python.h>

#include <string_view>

#include "core/action.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::ActionContext> {
  static constexpr std::string_view name = "ActionContext";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
