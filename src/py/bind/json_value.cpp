#include "py/bind/json_value.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

#include "common/json/reader.hpp"
#include "py/bind/convert.hpp"
#include "py/bind/refs.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {

namespace {

using common::json::Array;
using common::json::Object;
using common::json::Value;
using Kind = JsonConversionError::Kind;

// Where a conversion stopped: nowhere, at a pending Python exception, or at a value without a
// JSON form (described in Converter::error_).
enum class Outcome : std::uint8_t { Done, Raised, NoJsonForm };

std::string index_segment(std::size_t i) {
  std::string out = "[";
  out += std::to_string(i);
  out += ']';
  return out;
}

std::string key_segment(std::string_view key) {
  std::string out = ".";
  out += key;
  return out;
}

// Builds the tree in place: each value is written into the slot its container made for it, so
// no level moves a finished subtree around.
class Converter {
 public:
  Outcome convert(PyObject* obj, Value& slot, std::uint32_t depth) {
    if (obj == Py_None) {
      slot = Value(nullptr);
      return Outcome::Done;
    }
    // bool before int: True is an int too.
    if (PyBool_Check(obj)) {
      slot = Value(obj == Py_True);
      return Outcome::Done;
    }
    if (PyLong_Check(obj)) return integer(obj, slot);
    if (PyFloat_Check(obj)) return floating(obj, slot);
    if (PyUnicode_Check(obj)) {
      std::string s;
      if (Outcome o = string(obj, s); o != Outcome::Done) return o;
      slot = Value(std::move(s));
      return Outcome::Done;
    }
    const bool is_sequence = PyList_Check(obj) || PyTuple_Check(obj);
    bool is_mapping = PyDict_Check(obj);
    if (!is_sequence && !is_mapping) {
      auto abstract = is_abstract_mapping(obj);
      if (!abstract) return Outcome::Raised;
      if (!*abstract) return refuse(Kind::UnsupportedType, type_name(obj));
    }
    // The reader refuses deeper documents anyway; stopping here also ends the walk of a list or
    // dict that contains itself, which would otherwise recurse without end.
    if (depth >= common::json::kMaxDepth) return refuse(Kind::TooDeep);
    if (is_sequence) return sequence(obj, slot, depth + 1);
    if (PyDict_Check(obj)) return dict(obj, slot, depth + 1);
    return mapping(obj, slot, depth + 1);
  }

  JsonConversionError take_error() { return std::move(error_); }

 private:
  Outcome refuse(Kind kind, std::string detail = {}) {
    error_ = JsonConversionError{kind, std::move(detail), {}};
    return Outcome::NoJsonForm;
  }

  // Puts the segment of the containing level in front of the failure's path while unwinding.
  Outcome under(Outcome o, std::string_view segment) {
    if (o == Outcome::NoJsonForm) error_.path = std::string(segment) + error_.path;
    return o;
  }

  Outcome integer(PyObject* obj, Value& slot) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return Outcome::Raised;
    if (overflow == 0) {
      slot = v >= 0 ? Value(static_cast<std::uint64_t>(v)) : Value(static_cast<std::int64_t>(v));
      return Outcome::Done;
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(obj);
      if (u != static_cast<unsigned long long>(-1) || PyErr_Occurred() == nullptr) {
        slot = Value(static_cast<std::uint64_t>(u));
        return Outcome::Done;
      }
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Outcome::Raised;
      PyErr_Clear();
    }
    return refuse(Kind::IntegerOutOfRange);
  }

  Outcome floating(PyObject* obj, Value& slot) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred() != nullptr) return Outcome::Raised;
    if (!std::isfinite(d)) {
      return refuse(Kind::NonFiniteFloat, std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf");
    }
    slot = Value(d);
    return Outcome::Done;
  }

  Outcome string(PyObject* obj, std::string& out) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (utf8 != nullptr) {
      out.assign(utf8, static_cast<std::size_t>(n));
      return Outcome::Done;
    }
    // Lone surrogates have no UTF-8 form: a property of the document, not a failure of Python.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return Outcome::Raised;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
    std::string message = "not encodable as UTF-8";
    if (owned_value) {
      Ref text = Ref::steal(PyObject_Str(owned_value.get()));
      const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
      if (s == nullptr) return Outcome::Raised;
      message.assign(s, static_cast<std::size_t>(n));
    }
    return refuse(Kind::InvalidString, std::move(message));
  }

  Outcome sequence(PyObject* obj, Value& slot, std::uint32_t depth) {
    slot = Value(Array{});
    auto& out = std::get<Array>(slot.storage());
    // Re-read the size each time and hold each item: nothing here runs Python code, but a
    // finaliser run by the collector during an allocation could.
    for (Py_ssize_t i = 0; i < PySequence_Size(obj); ++i) {
      Ref item = Ref::steal(PySequence_GetItem(obj, i));
      if (!item) return Outcome::Raised;
      Value& element = out.emplace_back();
      Outcome o = convert(item.get(), element, depth);
      if (o != Outcome::Done) return under(o, index_segment(static_cast<std::size_t>(i)));
    }
    return Outcome::Done;
  }

  Outcome member(Object& out, PyObject* key, PyObject* value, std::uint32_t depth) {
    if (!PyUnicode_Check(key)) return refuse(Kind::NonStringKey, type_name(key));
    std::string name;
    if (Outcome o = string(key, name); o != Outcome::Done) return o;
    Value& slot = out[name];
    return under(convert(value, slot, depth), key_segment(name));
  }

  Outcome dict(PyObject* obj, Value& slot, std::uint32_t depth) {
    slot = Value(Object{});
    auto& out = std::get<Object>(slot.storage());
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    const Py_ssize_t size = PyDict_Size(obj);
    while (PyDict_Next(obj, &pos, &key, &value)) {
      Ref hold_key = Ref::borrow(key), hold_value = Ref::borrow(value);
      if (Outcome o = member(out, key, value, depth); o != Outcome::Done) return o;
      if (PyDict_Size(obj) != size) {
        dict_changed();
        return Outcome::Raised;
      }
    }
    return Outcome::Done;
  }

  // Mappings other than dict (MappingProxyType, a custom Mapping): through items(), which may
  // run Python code and raise.
  Outcome mapping(PyObject* obj, Value& slot, std::uint32_t depth) {
    Ref items = Ref::steal(PyMapping_Items(obj));
    if (!items) return Outcome::Raised;
    slot = Value(Object{});
    auto& out = std::get<Object>(slot.storage());
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* pair = PyList_GetItem(items.get(), i);
      if (pair == nullptr) return Outcome::Raised;
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        raise(ErrorKind::Type, "items() of a mapping must give (key, value) pairs");
        return Outcome::Raised;
      }
      Outcome o = member(out, PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1), depth);
      if (o != Outcome::Done) return o;
    }
    return Outcome::Done;
  }

  PyResult<bool> is_abstract_mapping(PyObject* obj) {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return pending();
    Ref mapping = Ref::steal(PyObject_GetAttrString(abc.get(), "Mapping"));
    if (!mapping) return pending();
    int r = PyObject_IsInstance(obj, mapping.get());
    if (r < 0) return pending();
    return r == 1;
  }

  JsonConversionError error_{};
};

}  // namespace

std::string JsonConversionError::display() const {
  std::string out;
  switch (kind) {
    case Kind::UnsupportedType:
      out = "unsupported type '" + detail +
            "': a JSON value is a dict, list, tuple, str, int, float, bool or None";
      break;
    case Kind::NonStringKey:
      out = "unsupported key type '" + detail + "': object keys must be str";
      break;
    case Kind::IntegerOutOfRange:
      out = "integer out of range: a number must fit in 64 bits, signed or unsigned";
      break;
    case Kind::NonFiniteFloat:
      out = "float " + detail + " has no JSON form";
      break;
    case Kind::InvalidString:
      out = "invalid string: " + detail;
      break;
    case Kind::TooDeep:
      out = "nesting deeper than " + std::to_string(common::json::kMaxDepth) +
            " levels (a container that contains itself?)";
      break;
  }
  if (!path.empty()) {
    out += " at ";
    // The first key of a path has no dot before it: "policies[0].name".
    std::string_view where = path.front() == '.' ? std::string_view(path).substr(1) : std::string_view(path);
    // A container that holds itself leaves a path as long as the depth limit; its start is enough.
    constexpr std::size_t kShownPath = 120;
    if (where.size() > kShownPath) {
      out += where.substr(0, kShownPath);
      out += "...";
    } else {
      out += where;
    }
  }
  return out;
}

PyResult<common::Result<common::json::Value, JsonConversionError>> json_from_py(PyObject* obj) {
  Converter c;
  common::json::Value out;
  switch (c.convert(obj, out, 0)) {
    case Outcome::Done:
      return out;
    case Outcome::Raised:
      return pending();
    case Outcome::NoJsonForm:
      break;
  }
  return common::Result<common::json::Value, JsonConversionError>(common::fail(c.take_error()));
}

}  // namespace ostrel::py::bind
