#pragma once
// Python class Verdict: a snapshot of a native verdict. It has no constructor; instances come
// from verdict_to_py, which Gate.evaluate calls with the verdict of an evaluation.
#include <Python.h>

#include <string_view>

#include "core/verdict.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py {

// A new Verdict object holding `verdict`; nullptr with an error set on failure.
PyObject* verdict_to_py(core::Verdict verdict);

}  // namespace ostrel::py

namespace ostrel::py::bind {
template <>
struct ClassInfo<core::Verdict> {
  static constexpr std::string_view name = "Verdict";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
