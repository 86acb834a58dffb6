#pragma once
// The one mapping from native failures to Python exceptions. Native code reports failures as
// values; this file is the only place that turns them into exceptions, so every class of the
// module reports the same failure the same way:
//
//   Type      TypeError       argument type or shape, missing/unknown/duplicate arguments
//   Overflow  OverflowError   integer outside the native range
//   Value     ValueError      invalid input, failed verification: "{context}: {error}"
//   Runtime   RuntimeError    failed operation, conflicting borrow: "{context}: {error}"
//   Fault     InternalFault   violated internal invariant; derives from BaseException so that
//                             `except Exception` handlers do not swallow it
#include <Python.h>

#include <expected>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace ostrel::py::bind {

// Marks that a Python exception is pending; the value carries nothing else.
struct Raised {};

template <class T>
using PyResult = std::expected<T, Raised>;
using Failed = std::unexpected<Raised>;

enum class ErrorKind { Type, Overflow, Value, Runtime, Fault };

// Sets the exception for `kind` and returns the failure to propagate. In entry points that
// return PyObject*, call it and then return nullptr.
Failed raise(ErrorKind kind, std::string_view message);

// "{context}: {error}" with the native error's display text.
template <common::DisplayError E>
Failed raise(ErrorKind kind, std::string_view context, const E& error) {
  return raise(kind, common::with_context(context, error));
}

// An exception is already pending (set by the interpreter or by a callee).
inline Failed pending() { return Failed(Raised{}); }

// The internal fault class, "_ostrel_engine.InternalFault", derived directly from
// BaseException. Created on first use, once per process; nullptr with an error set if that fails.
PyObject* fault_class();

// Rewrites a pending TypeError as "argument '{param}': {message}" (the original becomes its
// __cause__). Any other pending exception, OverflowError included, passes through unchanged.
void prefix_argument_error(std::string_view param);

// Converts the C++ exception being handled into a Python exception; call only inside a catch
// block. Native code reports failures as values, so what arrives here is an allocation failure
// (MemoryError) or a broken invariant (the internal fault).
void set_from_current_exception() noexcept;

}  // namespace ostrel::py::bind
