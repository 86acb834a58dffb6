#pragma once
// Python class InvalidationScope: a read-only view of a scope, handed to listener callbacks.
// It has no constructor; bind::wrap(scope) makes one.
#include <Python.h>

#include <string_view>

#include "core/invalidation_scope.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::InvalidationScope> {
  static constexpr std::string_view name = "InvalidationScope";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
