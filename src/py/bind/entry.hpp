#pragma once
// Entry points: the C functions the interpreter calls, generated around plain C++ functions.
// Each one parses its arguments, takes the instance's borrow (shared for readers, exclusive
// for mutators), calls the implementation, converts the result with to_py, and turns any C++
// exception into a Python one so that none crosses into the interpreter.
//
// An implementation returns a PyObject* (new reference or nullptr with an error set), a
// PyResult<X>, PyResult<void> (None), or any value to_py converts.
//
//   constructor<T, kSig, &build>         PyResult<T> build(ArgsOf<kSig>&)
//   constructor_in_place<T, kSig, &fill> PyResult<void> fill(T&, ArgsOf<kSig>&)
//   method<T, kSig, &impl>               R impl(const T&, ArgsOf<kSig>&)    shared borrow
//   mutating_method<T, kSig, &impl>      R impl(T&, ArgsOf<kSig>&)          exclusive borrow
//   computed<T, &impl>                   R impl(const T&)  (a property)     shared borrow
//   field<&T::member>                    the member, converted               shared borrow
//   repr<T, &impl>                       std::string impl(const T&)          shared borrow
//   function<kSig, &impl>                R impl(ArgsOf<kSig>&)               static methods and
//                                                                           module functions
//
// A method without parameters declares NoParams{"Class.method()"} and an impl taking only the
// value; it still parses, so extra arguments get the module's own messages. Every method and
// function wrapper is METH_FASTCALL | METH_KEYWORDS; static methods add METH_STATIC.
#include <Python.h>

#include <string>
#include <type_traits>
#include <utility>

#include "py/bind/args.hpp"
#include "py/bind/borrow.hpp"
#include "py/bind/convert.hpp"
#include "py/bind/errors.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {

// The Args type of a signature, for implementation parameters: bind::ArgsOf<kSig>&.
template <const auto& Sig>
using ArgsOf = Args<std::remove_cvref_t<decltype(Sig)>>;

namespace detail {

template <class T>
struct is_py_result : std::false_type {};
template <class T>
struct is_py_result<std::expected<T, Raised>> : std::true_type {};

template <class R>
PyObject* to_result(R&& r) {
  using V = std::remove_cvref_t<R>;
  if constexpr (is_py_result<V>::value) {
    if (!r) return nullptr;
    if constexpr (std::is_void_v<typename V::value_type>) {
      Py_INCREF(Py_None);
      return Py_None;
    } else {
      return to_py(std::move(*r));
    }
  } else {
    return to_py(std::forward<R>(r));
  }
}

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_from_current_exception();
    return nullptr;
  }
}

// Methods without parameters take only the value; the rest also their Args.
template <class F, class V, class A>
decltype(auto) call(F f, V& value, A& args) {
  if constexpr (std::is_invocable_v<F, V&, A&>) {
    return f(value, args);
  } else {
    return f(value);
  }
}

template <class T>
struct member_traits;
template <class C, class M>
struct member_traits<M C::*> {
  using owner = C;
};

}  // namespace detail

template <class T, const auto& Sig, auto Build>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return detail::guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.parse(args, kwargs)) return nullptr;
    PyResult<T> value = Build(a);
    if (!value) return nullptr;
    return wrap_as(type, std::move(*value));
  });
}

// For large values: the instance is allocated first and `fill` (PyResult<void> fill(T&, ArgsOf<kSig>&))
// writes the arguments straight into its default-constructed value, saving the moves of a
// value built on the side. On failure the half-filled instance is simply released.
template <class T, const auto& Sig, auto Fill>
PyObject* constructor_in_place(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return detail::guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.parse(args, kwargs)) return nullptr;
    Ref obj = Ref::steal(wrap_default<T>(type));
    if (!obj) return nullptr;
    auto filled = Fill(instance<T>(obj.get())->value, a);
    if (!filled) return nullptr;
    return obj.release();
  });
}

template <class T, const auto& Sig, auto Impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return detail::guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    auto* inst = instance<T>(self);
    auto borrow = SharedBorrow::acquire(inst->borrow);
    if (!borrow) return nullptr;
    return detail::to_result(detail::call(Impl, std::as_const(inst->value), a));
  });
}

template <class T, const auto& Sig, auto Impl>
PyObject* mutating_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return detail::guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    auto* inst = instance<T>(self);
    auto borrow = ExclusiveBorrow::acquire(inst->borrow);
    if (!borrow) return nullptr;
    return detail::to_result(detail::call(Impl, inst->value, a));
  });
}

template <class T, auto Impl>
PyObject* computed(PyObject* self, void*) noexcept {
  return detail::guarded([&]() -> PyObject* {
    auto* inst = instance<T>(self);
    auto borrow = SharedBorrow::acquire(inst->borrow);
    if (!borrow) return nullptr;
    return detail::to_result(Impl(std::as_const(inst->value)));
  });
}

template <auto Member>
PyObject* field(PyObject* self, void*) noexcept {
  using T = typename detail::member_traits<decltype(Member)>::owner;
  return detail::guarded([&]() -> PyObject* {
    auto* inst = instance<T>(self);
    auto borrow = SharedBorrow::acquire(inst->borrow);
    if (!borrow) return nullptr;
    return to_py(std::as_const(inst->value).*Member);
  });
}

template <class T, auto Impl>
PyObject* repr(PyObject* self) noexcept {
  return detail::guarded([&]() -> PyObject* {
    auto* inst = instance<T>(self);
    auto borrow = SharedBorrow::acquire(inst->borrow);
    if (!borrow) return nullptr;
    std::string text = Impl(std::as_const(inst->value));
    return str_to_py(text);
  });
}

template <const auto& Sig, auto Impl>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return detail::guarded([&]() -> PyObject* {
    Args a(Sig);
    if (!a.parse(args, nargs, kwnames)) return nullptr;
    return detail::to_result(Impl(a));
  });
}

// For PyMethodDef::ml_meth.
template <class F>
PyCFunction as_method(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A read-only property, with computed<> or field<> as `fn`.
constexpr PyGetSetDef property(const char* name, ::getter fn, const char* doc) {
  return PyGetSetDef{name, fn, nullptr, doc, nullptr};
}

}  // namespace ostrel::py::bind
