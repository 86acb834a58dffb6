#pragma once
// Ownership of Python references. `Ref` owns one strong reference and drops it when destroyed;
// borrowed references stay plain `PyObject*`, so a reader can tell at a glance which is which.
#include <Python.h>

#include <utility>

namespace ostrel::py::bind {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (the result of most C API calls); nullptr stays empty.
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed one.
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller, e.g. as the result of a C API entry point.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference to None, for entry points that return nothing.
inline PyObject* none() noexcept {
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace ostrel::py::bind
