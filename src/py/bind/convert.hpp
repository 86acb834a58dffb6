#pragma once
// Conversions between Python objects and native values, the same for every class:
//
//   str                      std::string           other types: TypeError
//                            std::string_view      no copy: valid only while the argument lives
//                                                  (the call's duration), for text only parsed
//   bytes / int sequence     std::vector<uint8_t>  a str is refused ("Can't extract `str` to `Vec`")
//                            common::SecureBytes   likewise, for secrets
//   int                      std::int64_t          out of range: the interpreter's OverflowError
//   int                      std::uint64_t         negative or too large: likewise
//   float or int             double                through the float/int protocol; str refused
//   True / False             bool                  None, 0 and the rest: TypeError
//   sequence (not str)       std::vector<T>        "Can't extract `str` to `Vec`" for a str
//   tuple                    std::tuple<T...>      exact length, else ValueError
//   dict                     std::map<K, V>
//   None / value             std::optional<T>      None is the same as an omitted argument
//   instance of a class      T (a copy)            T bound with ClassInfo
//                            Borrowed<T>           read in place under a shared borrow
//   any object               Ref
//
// TypeErrors raised here carry no argument name; Args adds the "argument '{}': " prefix.
#include <Python.h>

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/secure_bytes.hpp"
#include "common/time.hpp"
#include "common/uuid.hpp"
#include "py/bind/borrow.hpp"
#include "py/bind/errors.hpp"
#include "py/bind/refs.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py::bind {

// "'{given type}' object cannot be converted to '{expected}'", a TypeError.
Failed wrong_type(PyObject* obj, std::string_view expected);
// The refusal of a str where a list or byte string is expected, a TypeError.
Failed str_to_vec();

PyResult<std::string> string_from_py(PyObject* obj);
// Anything but an exact str: a str subclass, or the TypeError.
PyResult<std::string_view> string_view_from_other(PyObject* obj);
// Inline for the exact str, so that the result stays in registers: passed back through memory,
// it was written in two halves and read in one, which the processor cannot forward and which
// cost more than the rest of the conversion.
inline PyResult<std::string_view> string_view_from_py(PyObject* obj) {
  if (!PyUnicode_CheckExact(obj)) return string_view_from_other(obj);
  Py_ssize_t n = 0;
  // The UTF-8 form is cached in the str object and lives as long as it does.
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
  if (utf8 == nullptr) return pending();  // e.g. a lone surrogate: UnicodeEncodeError
  return std::string_view(utf8, static_cast<std::size_t>(n));
}
PyResult<std::int64_t> i64_from_py(PyObject* obj);
PyResult<std::uint64_t> u64_from_py(PyObject* obj);
PyResult<double> f64_from_py(PyObject* obj);
PyResult<bool> bool_from_py(PyObject* obj);
PyResult<std::uint8_t> u8_from_py(PyObject* obj);
PyResult<std::vector<std::uint8_t>> bytes_from_py(PyObject* obj);
PyResult<common::SecureBytes> secure_bytes_from_py(PyObject* obj);
// The length of a sequence parameter, refusing str and non-sequences.
PyResult<Py_ssize_t> sequence_length(PyObject* obj);
// A tuple of exactly `length` items, else TypeError / ValueError.
PyResult<Py_ssize_t> check_tuple(PyObject* obj, Py_ssize_t length);
// RuntimeError when a dict changed size while it was being converted.
Failed dict_changed();

// Reads a module-class instance in place, holding a shared borrow (and a reference) meanwhile.
template <BoundClass T>
class Borrowed {
 public:
  Borrowed(Ref obj, SharedBorrow guard) noexcept : obj_(std::move(obj)), guard_(std::move(guard)) {}
  const T& get() const noexcept { return instance<T>(obj_.get())->value; }
  const T* operator->() const noexcept { return &get(); }
  const T& operator*() const noexcept { return get(); }
  PyObject* object() const noexcept { return obj_.get(); }

 private:
  Ref obj_;
  SharedBorrow guard_;
};

namespace detail {
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_tuple : std::false_type {};
template <class... T>
struct is_tuple<std::tuple<T...>> : std::true_type {};
template <class T>
struct is_map : std::false_type {};
template <class K, class V, class C, class A>
struct is_map<std::map<K, V, C, A>> : std::true_type {};
template <class T>
struct is_borrowed : std::false_type {};
template <class T>
struct is_borrowed<Borrowed<T>> : std::true_type {
  using type = T;
};
template <class T>
inline constexpr bool always_false = false;
}  // namespace detail

template <class T>
PyResult<T> from_py(PyObject* obj);

// Converts every item of a dict parameter and hands it to put(K&&, V&&), in dict order.
template <class K, class V, class Put>
PyResult<void> for_each_dict_item(PyObject* obj, Put&& put) {
  if (!PyDict_CheckExact(obj) && !PyDict_Check(obj)) return wrong_type(obj, "dict");
  const Py_ssize_t size = PyDict_Size(obj);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    // Held while converting: a key's or value's conversion may run Python code.
    Ref hold_key = Ref::borrow(key);
    Ref hold_value = Ref::borrow(value);
    auto k = from_py<K>(key);
    if (!k) return pending();
    auto v = from_py<V>(value);
    if (!v) return pending();
    if (PyDict_Size(obj) != size) return dict_changed();
    put(std::move(*k), std::move(*v));
  }
  return {};
}

namespace detail {

template <class X>
bool convert_into(std::optional<X>& out, PyObject* obj) {
  auto r = from_py<X>(obj);
  if (!r) return false;
  out.emplace(std::move(*r));
  return true;
}

template <class Tuple, std::size_t... I>
PyResult<Tuple> tuple_from_py(PyObject* obj, std::index_sequence<I...>) {
  if (!check_tuple(obj, sizeof...(I))) return pending();
  // Tuples are immutable, so the borrowed items stay valid while converting; && stops at the
  // first failure, so items convert left to right and only up to the first bad one.
  std::tuple<std::optional<std::tuple_element_t<I, Tuple>>...> parts;
  if (!(convert_into(std::get<I>(parts), PyTuple_GetItem(obj, I)) && ...)) return pending();
  return Tuple(std::move(*std::get<I>(parts))...);
}

}  // namespace detail

template <class T>
PyResult<T> from_py(PyObject* obj) {
  if constexpr (std::same_as<T, std::string>) {
    return string_from_py(obj);
  } else if constexpr (std::same_as<T, std::string_view>) {
    return string_view_from_py(obj);
  } else if constexpr (std::same_as<T, bool>) {
    return bool_from_py(obj);
  } else if constexpr (std::same_as<T, std::uint8_t>) {
    return u8_from_py(obj);
  } else if constexpr (std::same_as<T, std::int64_t>) {
    return i64_from_py(obj);
  } else if constexpr (std::same_as<T, std::uint64_t>) {
    return u64_from_py(obj);
  } else if constexpr (std::same_as<T, double>) {
    return f64_from_py(obj);
  } else if constexpr (std::same_as<T, std::vector<std::uint8_t>>) {
    return bytes_from_py(obj);
  } else if constexpr (std::same_as<T, common::SecureBytes>) {
    return secure_bytes_from_py(obj);
  } else if constexpr (std::same_as<T, Ref>) {
    return Ref::borrow(obj);
  } else if constexpr (detail::is_optional<T>::value) {
    if (obj == Py_None) return T{};
    auto inner = from_py<typename T::value_type>(obj);
    if (!inner) return pending();
    return T(std::move(*inner));
  } else if constexpr (detail::is_vector<T>::value) {
    auto n = sequence_length(obj);
    if (!n) return pending();
    T out;
    out.reserve(static_cast<std::size_t>(*n));
    for (Py_ssize_t i = 0; i < *n; ++i) {
      // A new reference: converting an item may run Python code that shrinks the sequence.
      Ref item = Ref::steal(PySequence_GetItem(obj, i));
      if (!item) return pending();
      if constexpr (std::same_as<typename T::value_type, std::string>) {
        // Copied once, from the item's UTF-8 form straight into the vector.
        auto text = string_view_from_py(item.get());
        if (!text) return pending();
        out.emplace_back(*text);
      } else {
        auto value = from_py<typename T::value_type>(item.get());
        if (!value) return pending();
        out.push_back(std::move(*value));
      }
    }
    return out;
  } else if constexpr (detail::is_tuple<T>::value) {
    return detail::tuple_from_py<T>(obj, std::make_index_sequence<std::tuple_size_v<T>>());
  } else if constexpr (detail::is_map<T>::value) {
    T out;
    auto ok = for_each_dict_item<typename T::key_type, typename T::mapped_type>(
        obj, [&](auto&& k, auto&& v) { out.insert_or_assign(std::move(k), std::move(v)); });
    if (!ok) return pending();
    return out;
  } else if constexpr (detail::is_borrowed<T>::value) {
    using U = typename detail::is_borrowed<T>::type;
    if (!is_instance<U>(obj)) return wrong_type(obj, ClassInfo<U>::name);
    auto guard = SharedBorrow::acquire(instance<U>(obj)->borrow);
    if (!guard) return pending();
    return T(Ref::borrow(obj), std::move(*guard));
  } else if constexpr (BoundClass<T>) {
    if (!is_instance<T>(obj)) return wrong_type(obj, ClassInfo<T>::name);
    auto* inst = instance<T>(obj);
    auto guard = SharedBorrow::acquire(inst->borrow);
    if (!guard) return pending();
    return T(inst->value);
  } else {
    static_assert(detail::always_false<T>, "no conversion from Python for this type");
  }
}

// Native → Python; a new reference, or nullptr with an error set. Strings become str, byte
// vectors bytes, integers int, floats float, empty optionals None, UUIDs their hyphenated
// lowercase text, instants whole seconds since the Unix epoch, class values new instances.
PyObject* str_to_py(std::string_view s);
PyObject* bytes_to_py(std::span<const std::uint8_t> b);
PyObject* uuid_to_py(const common::Uuid& u);

template <class T>
PyObject* to_py(T&& value) {
  using V = std::remove_cvref_t<T>;
  if constexpr (std::same_as<V, PyObject*>) {
    return value;
  } else if constexpr (std::same_as<V, Ref>) {
    return Ref(std::forward<T>(value)).release();
  } else if constexpr (std::same_as<V, bool>) {
    return PyBool_FromLong(value ? 1 : 0);
  } else if constexpr (std::signed_integral<V>) {
    return PyLong_FromLongLong(static_cast<long long>(value));
  } else if constexpr (std::unsigned_integral<V>) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
  } else if constexpr (std::floating_point<V>) {
    return PyFloat_FromDouble(static_cast<double>(value));
  } else if constexpr (std::convertible_to<const V&, std::string_view>) {
    return str_to_py(std::string_view(value));
  } else if constexpr (std::same_as<V, std::vector<std::uint8_t>>) {
    return bytes_to_py(value);
  } else if constexpr (std::same_as<V, common::Uuid>) {
    return uuid_to_py(value);
  } else if constexpr (std::same_as<V, common::Instant>) {
    return PyLong_FromLongLong(value.seconds);
  } else if constexpr (detail::is_optional<V>::value) {
    if (!value) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    return to_py(*std::forward<T>(value));
  } else if constexpr (BoundClass<V>) {
    return wrap(std::forward<T>(value));
  } else {
    static_assert(detail::always_false<V>, "no conversion to Python for this type");
  }
}

}  // namespace ostrel::py::bind
