#pragma once
// Native classes as Python heap types. Every class of the module has the same shape: base
// `object`, not subclassable, no __dict__, no weak references, __module__ "builtins" and the
// bare class name as __name__ and __qualname__ (so repr(X) is "<class 'X'>"), read-only
// properties only. The instance holds one native value of type T and its borrow flag.
//
// A class is bound by specialising ClassInfo for its native type in its own header:
//
//   template <> struct bind::ClassInfo<core::GeoLocation> {
//     static constexpr std::string_view name = "GeoLocation";
//     static PyObject* create_type();  // returns make_class<core::GeoLocation>({...})
//   };
//
// after which type_of<T>(), wrap(), from_py<T>() and to_py() work for it.
#include <Python.h>

#include <atomic>
#include <concepts>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "py/bind/borrow.hpp"
#include "py/bind/errors.hpp"

namespace ostrel::py::bind {

template <class T>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  T value;
};

template <class T>
struct ClassInfo;

template <class T>
concept BoundClass = requires {
  { ClassInfo<T>::name } -> std::convertible_to<std::string_view>;
  { ClassInfo<T>::create_type() } -> std::same_as<PyObject*>;
};

struct ClassDef {
  const char* qualified_name;  // "builtins.X"; must outlive the type (a string literal)
  // Starts with the constructor's text signature, "X(a, b=None)\n--\n\n", then the description.
  const char* doc;
  newfunc constructor = nullptr;  // nullptr: TypeError "No constructor defined for X"
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getset = nullptr;  // getters only: no property of the module has a setter
  reprfunc repr = nullptr;
  lenfunc len = nullptr;
  // Only for a value that holds Python objects: makes the class take part in garbage collection.
  // The traverse function must also visit Py_TYPE(self), which every instance references.
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

// Builds the heap type; nullptr with an error set on failure.
PyObject* make_type(const ClassDef& def, std::size_t basicsize, destructor dealloc);

// The bare name of an object's type, for messages.
std::string type_name(PyObject* obj);

template <class T>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HAVE_GC) != 0) PyObject_GC_UnTrack(self);
  std::destroy_at(&reinterpret_cast<Instance<T>*>(self)->value);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

template <class T>
PyObject* make_class(const ClassDef& def) {
  static_assert(alignof(Instance<T>) <= alignof(std::max_align_t),
                "the interpreter's allocator aligns to max_align_t only");
  return make_type(def, sizeof(Instance<T>), &dealloc<T>);
}

namespace detail {
template <class T>
std::atomic<PyObject*>& type_cell() {
  static std::atomic<PyObject*> cell{nullptr};
  return cell;
}
}  // namespace detail

// The class's type object, created on first need and kept for the life of the process
// (borrowed reference). nullptr with an error set if it cannot be created.
template <BoundClass T>
PyTypeObject* type_of() {
  auto& cell = detail::type_cell<T>();
  if (PyObject* t = cell.load(std::memory_order_acquire)) return reinterpret_cast<PyTypeObject*>(t);
  // Building a type can run Python code (and so let another thread in); whichever build is
  // published first is the one every caller gets.
  PyObject* created = ClassInfo<T>::create_type();
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return reinterpret_cast<PyTypeObject*>(expected);
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

// Subclassing is impossible, so the exact type is the only one to check. No instance can exist
// before its type, so a type not built yet means "not an instance".
template <BoundClass T>
bool is_instance(PyObject* obj) noexcept {
  PyObject* t = detail::type_cell<T>().load(std::memory_order_acquire);
  return t != nullptr && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(t);
}

// Unchecked: `obj` must be an instance of T's class (method and getter entry points are only
// reachable through that class's descriptors, which check it).
template <class T>
Instance<T>* instance(PyObject* obj) noexcept {
  return reinterpret_cast<Instance<T>*>(obj);
}

// Allocates an instance of `type` holding `value`; nullptr with an error set on failure.
template <class T>
PyObject* wrap_as(PyTypeObject* type, T&& value) {
  using V = std::remove_cvref_t<T>;
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* inst = instance<V>(obj);
  new (&inst->borrow) BorrowFlag();
  try {
    new (&inst->value) V(std::forward<T>(value));
  } catch (...) {
    // The value was never built: release the memory without running the class's dealloc.
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(type);
    set_from_current_exception();
    return nullptr;
  }
  return obj;
}

// Allocates an instance of `type` holding a default-constructed T; nullptr with an error set.
template <class T>
PyObject* wrap_default(PyTypeObject* type) {
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* inst = instance<T>(obj);
  new (&inst->borrow) BorrowFlag();
  try {
    new (&inst->value) T();
  } catch (...) {
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(type);
    set_from_current_exception();
    return nullptr;
  }
  return obj;
}

// A new Python object of T's class holding `value`.
template <class T>
  requires BoundClass<std::remove_cvref_t<T>>
PyObject* wrap(T&& value) {
  PyTypeObject* type = type_of<std::remove_cvref_t<T>>();
  if (type == nullptr) return nullptr;
  return wrap_as(type, std::forward<T>(value));
}

}  // namespace ostrel::py::bind
