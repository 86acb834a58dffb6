#include "py/bind/errors.hpp"

#include <atomic>
#include <exception>
#include <new>

#include "py/bind/refs.hpp"

namespace ostrel::py::bind {

namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Overflow:
      return PyExc_OverflowError;
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Runtime:
      return PyExc_RuntimeError;
    case ErrorKind::Fault:
      return fault_class();
  }
  return PyExc_SystemError;
}

void set_error(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace

Failed raise(ErrorKind kind, std::string_view message) {
  PyObject* type = exception_type(kind);
  if (type != nullptr) set_error(type, message);
  return pending();
}

PyObject* fault_class() {
  // All callers hold the interpreter lock, but creating the class may run Python code that lets
  // another thread in; the compare-exchange keeps exactly one class for the whole process.
  static std::atomic<PyObject*> cell{nullptr};
  if (PyObject* existing = cell.load(std::memory_order_acquire)) return existing;
  PyObject* created = PyErr_NewExceptionWithDoc(
      "_ostrel_engine.InternalFault",
      "An internal fault of the ostrel engine: a violated invariant, not a problem with the "
      "arguments. Derived from BaseException so that `except Exception` does not hide it.",
      PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;
}

void prefix_argument_error(std::string_view param) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type);
  Ref cause = Ref::steal(value);
  Ref owned_tb = Ref::steal(traceback);
  if (cause && owned_tb) PyException_SetTraceback(cause.get(), owned_tb.get());

  Ref original = cause ? Ref::steal(PyObject_Str(cause.get())) : Ref();
  if (cause && !original) return;  // str() failed: its exception is now the pending one
  std::string message = "argument '";
  message += param;
  message += "': ";
  if (original) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(original.get(), &n);
    if (utf8 == nullptr) return;
    message.append(utf8, static_cast<std::size_t>(n));
  }
  raise(ErrorKind::Type, message);
  if (!cause) return;
  PyObject *new_type = nullptr, *new_value = nullptr, *new_tb = nullptr;
  PyErr_Fetch(&new_type, &new_value, &new_tb);
  PyErr_NormalizeException(&new_type, &new_value, &new_tb);
  if (new_value != nullptr) PyException_SetCause(new_value, cause.release());  // steals
  PyErr_Restore(new_type, new_value, new_tb);
}

void set_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // PyErr_Format allocates nothing on the C++ side, so this path cannot throw again.
    if (PyObject* fault = fault_class()) PyErr_Format(fault, "unexpected native exception: %s", e.what());
  } catch (...) {
    if (PyObject* fault = fault_class()) PyErr_SetString(fault, "unexpected native exception");
  }
}

}  // namespace ostrel::py::bind
