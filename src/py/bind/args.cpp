#include "py/bind/args.hpp"

#include <string>
#include <vector>

namespace ostrel::py::bind {

namespace {

void append_count(std::string& out, std::size_t n) { out += std::to_string(n); }

Failed too_many_positional(SignatureView sig, Py_ssize_t given) {
  std::size_t positional = 0;
  std::size_t required_positional = 0;
  for (const Param& p : sig.params) {
    if (p.keyword_only) continue;
    ++positional;
    if (p.is_required) ++required_positional;
  }
  std::string message(sig.function);
  message += " takes ";
  if (required_positional != positional) {
    message += "from ";
    append_count(message, required_positional);
    message += " to ";
  }
  append_count(message, positional);
  message += " positional arguments but ";
  append_count(message, static_cast<std::size_t>(given));
  message += given == 1 ? " was given" : " were given";
  return raise(ErrorKind::Type, message);
}

Failed keyword_error(SignatureView sig, std::string_view what, std::string_view name) {
  std::string message(sig.function);
  message += what;
  message += "'";
  message += name;
  message += "'";
  return raise(ErrorKind::Type, message);
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'"
void append_names(std::string& out, const std::vector<std::string_view>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) out += i + 1 == names.size() ? " and " : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
}

bool check_missing(SignatureView sig, PyObject** slots) {
  bool any_missing = false;
  for (std::size_t i = 0; i < sig.params.size(); ++i) any_missing |= sig.params[i].is_required && !slots[i];
  if (!any_missing) return true;
  // Missing positional arguments are reported first; keyword-only ones only when none is.
  for (bool keyword : {false, true}) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.is_required && p.keyword_only == keyword && slots[i] == nullptr) missing.push_back(p.name);
    }
    if (missing.empty()) continue;
    std::string message(sig.function);
    message += " missing ";
    append_count(message, missing.size());
    message += keyword ? " required keyword " : " required positional ";
    message += missing.size() == 1 ? "argument: " : "arguments: ";
    append_names(message, missing);
    raise(ErrorKind::Type, message);
    return false;
  }
  return true;
}

bool place_positional(SignatureView sig, Py_ssize_t nargs, PyObject** slots,
                      PyObject* (*item)(const void*, Py_ssize_t), const void* source) {
  Py_ssize_t positional = 0;
  for (const Param& p : sig.params) positional += p.keyword_only ? 0 : 1;
  if (nargs > positional) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = item(source, i);
  return true;
}

bool place_keyword(SignatureView sig, PyObject* name, PyObject* value, PyObject** slots) {
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
  if (utf8 == nullptr) return false;
  std::string_view key(utf8, static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].name != key) continue;
    if (slots[i] != nullptr) {
      keyword_error(sig, " got multiple values for argument ", key);
      return false;
    }
    slots[i] = value;
    return true;
  }
  keyword_error(sig, " got an unexpected keyword argument ", key);
  return false;
}

}  // namespace

bool parse_call(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) return false;
  auto tuple_item = [](const void* tuple, Py_ssize_t i) {
    return PyTuple_GetItem(static_cast<PyObject*>(const_cast<void*>(tuple)), i);
  };
  if (!place_positional(sig, nargs, slots, tuple_item, args)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

bool parse_vectorcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots) {
  auto array_item = [](const void* array, Py_ssize_t i) {
    return static_cast<PyObject* const*>(array)[i];
  };
  if (!place_positional(sig, nargs, slots, array_item, args)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!place_keyword(sig, PyTuple_GetItem(kwnames, j), args[nargs + j], slots)) return false;
    }
  }
  return check_missing(sig, slots);
}

}  // namespace ostrel::py::bind
