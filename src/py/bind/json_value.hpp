#pragma once
// Python objects to the JSON data model, for documents a host hands over as Python data (a dict
// policy document):
//
//   dict (and other mappings) with str keys   object
//   list, tuple                               array
//   str                                       string
//   bool                                      boolean   (tested before int: bool is an int)
//   int                                       number    unsigned if >= 0, else signed; 64 bits
//   float                                     number    stays a float, so 10.0 is not 10
//   None                                      null
//
// Whatever has no JSON form (another type, a non-str key, an int beyond 64 bits, a NaN or
// infinite float, a string with lone surrogates, nesting deeper than the JSON reader accepts,
// which is also where a container holding itself ends) is a JsonConversionError naming the
// place in the document where it was found.
#include <Python.h>

#include <string>

#include "common/error.hpp"
#include "common/json/value.hpp"
#include "py/bind/errors.hpp"

namespace ostrel::py::bind {

struct JsonConversionError {
  enum class Kind {
    UnsupportedType,
    NonStringKey,
    IntegerOutOfRange,
    NonFiniteFloat,
    InvalidString,
    TooDeep
  };
  Kind kind;
  std::string detail;  // the type name, the float's text or the codec's message, by kind
  std::string path;    // e.g. "policies[0].priority"; empty for the top-level value

  // The kind's text, then " at {path}" when the value is not the top-level one.
  std::string display() const;
};

// The outer failure means a Python exception is pending (running a mapping's items() raised, or
// memory ran out); the inner one that the object has no JSON form.
PyResult<common::Result<common::json::Value, JsonConversionError>> json_from_py(PyObject* obj);

}  // namespace ostrel::py::bind
