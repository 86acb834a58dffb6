#include "py/bind/convert.hpp"

#include <charconv>
#include <cstring>
#include <limits>

namespace ostrel::py::bind {

Failed wrong_type(PyObject* obj, std::string_view expected) {
  std::string message = "'";
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += expected;
  message += "'";
  return raise(ErrorKind::Type, message);
}

Failed str_to_vec() { return raise(ErrorKind::Type, "Can't extract `str` to `Vec`"); }

Failed dict_changed() { return raise(ErrorKind::Runtime, "dictionary changed size during iteration"); }

PyResult<std::string_view> string_view_from_other(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return wrong_type(obj, "str");
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
  if (utf8 == nullptr) return pending();  // e.g. a lone surrogate: UnicodeEncodeError
  return std::string_view(utf8, static_cast<std::size_t>(n));
}

PyResult<std::string> string_from_py(PyObject* obj) {
  auto view = string_view_from_py(obj);
  if (!view) return pending();
  return std::string(*view);
}

PyResult<std::int64_t> i64_from_py(PyObject* obj) {
  // Takes int and anything with __index__; the interpreter words the TypeError or OverflowError.
  long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred() != nullptr) return pending();
  return static_cast<std::int64_t>(v);
}

PyResult<std::uint64_t> u64_from_py(PyObject* obj) {
  // PyLong_AsUnsignedLongLong takes int only; go through __index__ like the signed case.
  Ref index = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyNumber_Index(obj));
  if (!index) return pending();
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return pending();
  return static_cast<std::uint64_t>(v);
}

PyResult<double> f64_from_py(PyObject* obj) {
  // An exact int converts as its own __float__ would, without the float object in between.
  if (PyLong_CheckExact(obj)) {
    double v = PyLong_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred() != nullptr) return pending();
    return v;
  }
  // __float__, then __index__; a str has neither, and the interpreter refuses it.
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred() != nullptr) return pending();
  return v;
}

PyResult<bool> bool_from_py(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  return wrong_type(obj, "bool");
}

PyResult<std::uint8_t> u8_from_py(PyObject* obj) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred() != nullptr) return pending();
  if (v < 0 || v > 255) {
    std::string message = "byte value out of range 0..=255: ";
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    message.append(buf, end);
    return raise(ErrorKind::Overflow, message);
  }
  return static_cast<std::uint8_t>(v);
}

namespace {

// The bytes of bytes or bytearray, without copying; empty when obj is neither.
std::optional<std::span<const std::uint8_t>> byte_buffer(PyObject* obj) {
  if (PyBytes_Check(obj)) {
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &n) < 0) return std::nullopt;
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                         static_cast<std::size_t>(n));
  }
  if (PyByteArray_Check(obj)) {
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(obj)),
                                         static_cast<std::size_t>(PyByteArray_Size(obj)));
  }
  return std::nullopt;
}

// Calls put(i, byte) for every item of a sequence of ints 0..255.
template <class Put>
PyResult<Py_ssize_t> for_each_byte(PyObject* obj, Put put) {
  auto n = sequence_length(obj);
  if (!n) return pending();
  for (Py_ssize_t i = 0; i < *n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return pending();
    auto b = u8_from_py(item.get());
    if (!b) return pending();
    put(i, *b);
  }
  return *n;
}

}  // namespace

PyResult<std::vector<std::uint8_t>> bytes_from_py(PyObject* obj) {
  if (auto buf = byte_buffer(obj)) return std::vector<std::uint8_t>(buf->begin(), buf->end());
  std::vector<std::uint8_t> out;
  auto n = for_each_byte(obj, [&](Py_ssize_t, std::uint8_t b) { out.push_back(b); });
  if (!n) return pending();
  return out;
}

PyResult<common::SecureBytes> secure_bytes_from_py(PyObject* obj) {
  if (auto buf = byte_buffer(obj)) return common::SecureBytes(*buf);
  // Sized first so that no intermediate buffer holds (and leaks) the secret.
  auto n = sequence_length(obj);
  if (!n) return pending();
  common::SecureBytes out(static_cast<std::size_t>(*n));
  for (Py_ssize_t i = 0; i < *n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return pending();
    auto b = u8_from_py(item.get());
    if (!b) return pending();
    out[static_cast<std::size_t>(i)] = *b;
  }
  return out;
}

PyResult<Py_ssize_t> sequence_length(PyObject* obj) {
  if (PyList_CheckExact(obj)) return PyList_Size(obj);
  if (PyUnicode_Check(obj)) return str_to_vec();
  if (!PySequence_Check(obj)) return wrong_type(obj, "Sequence");
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return pending();
  return n;
}

PyResult<Py_ssize_t> check_tuple(PyObject* obj, Py_ssize_t length) {
  if (!PyTuple_Check(obj)) return wrong_type(obj, "tuple");
  Py_ssize_t n = PyTuple_Size(obj);
  if (n != length) {
    std::string message = "expected tuple of length ";
    message += std::to_string(length);
    message += ", but got tuple of length ";
    message += std::to_string(n);
    return raise(ErrorKind::Value, message);
  }
  return n;
}

PyObject* str_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* bytes_to_py(std::span<const std::uint8_t> b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

PyObject* uuid_to_py(const common::Uuid& u) {
  char text[36];
  u.write_hyphenated(text);
  return PyUnicode_FromStringAndSize(text, sizeof text);
}

}  // namespace ostrel::py::bind
