#pragma once
// Declarative argument parsing. Each callable declares its parameters once:
//
//   constexpr bind::Signature kNew{"GeoLocation.__new__()", {bind::required("country_code"),
//                                                           bind::optional("region"), ...}};
//
// and reads them after parsing with Args::get<T>(index), which converts (convert.hpp) and
// puts "argument '{name}': " before a TypeError. Parsing reports, as TypeError and before any
// native code runs: too many positional arguments, an unexpected or repeated keyword, and
// missing required arguments, in the fixed message forms of the module.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "py/bind/convert.hpp"
#include "py/bind/errors.hpp"

namespace ostrel::py::bind {

struct Param {
  std::string_view name;
  bool is_required = false;
  bool keyword_only = false;
};

// Positional-or-keyword parameters, then keyword-only ones.
constexpr Param required(std::string_view name) { return {name, true, false}; }
constexpr Param optional(std::string_view name) { return {name, false, false}; }
constexpr Param keyword_required(std::string_view name) { return {name, true, true}; }
constexpr Param keyword_optional(std::string_view name) { return {name, false, true}; }

struct SignatureView {
  std::string_view function;  // "Class.method()" or "function()", as messages show it
  std::span<const Param> params;
  // Worked out once when the signature is declared rather than on every call.
  std::size_t positional = 0;  // how many parameters may be given by position
  std::uint64_t required = 0;  // bit i: parameter i is required
};

template <std::size_t N>
struct Signature {
  static_assert(N <= 64, "the required parameters are kept as a 64-bit mask");
  std::string_view function;
  std::array<Param, N> params;
  std::size_t positional = 0;
  std::uint64_t required = 0;

  constexpr Signature(std::string_view fn, const Param (&p)[N]) : function(fn), params{} {
    for (std::size_t i = 0; i < N; ++i) params[i] = p[i];
    bool seen_keyword_only = false;
    for (std::size_t i = 0; i < N; ++i) {
      const Param& q = params[i];
      if (q.keyword_only) seen_keyword_only = true;
      // Not a constant expression: a signature listing a positional parameter after a
      // keyword-only one does not compile.
      if (seen_keyword_only && !q.keyword_only) throw "keyword-only parameters come last";
      if (!q.keyword_only) ++positional;
      if (q.is_required) required |= std::uint64_t{1} << i;
    }
  }
  constexpr SignatureView view() const { return {function, params, positional, required}; }
  static constexpr std::size_t size = N;
};

// A callable without parameters still rejects arguments with the standard messages.
struct NoParams {
  std::string_view function;
  constexpr SignatureView view() const { return {function, {}, 0, 0}; }
  static constexpr std::size_t size = 0;
};

// Fill slots (one per parameter, borrowed, nullptr when not given) from a call; false with a
// TypeError set on a malformed call.
bool parse_call(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** slots);
bool parse_vectorcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** slots);

template <class Sig>
class Args {
 public:
  explicit Args(const Sig& sig) noexcept : sig_(sig.view()) {}

  bool parse(PyObject* args, PyObject* kwargs) { return parse_call(sig_, args, kwargs, slots_.data()); }
  bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return parse_vectorcall(sig_, args, nargs, kwnames, slots_.data());
  }

  // The argument as given (borrowed), nullptr when omitted.
  PyObject* raw(std::size_t i) const noexcept { return slots_[i]; }

  // The converted argument. An omitted optional parameter reads as an empty std::optional;
  // None for a std::optional<T> is empty too, the same as omitting it.
  template <class T>
  PyResult<T> get(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (obj == nullptr) {
      if constexpr (detail::is_optional<T>::value) {
        return T{};
      } else {
        return raise(ErrorKind::Fault, "optional parameter read without a default");
      }
    }
    return convert<T>(i, obj);
  }

  // The converted argument, or `fallback` when omitted. None is converted like any other value,
  // so None for a parameter whose default is not None is a TypeError naming the parameter.
  template <class T>
  PyResult<T> get_or(std::size_t i, T fallback) const {
    PyObject* obj = slots_[i];
    if (obj == nullptr) return fallback;
    return convert<T>(i, obj);
  }

 private:
  template <class T>
  PyResult<T> convert(std::size_t i, PyObject* obj) const {
    auto r = from_py<T>(obj);
    if (!r) prefix_argument_error(sig_.params[i].name);
    return r;
  }

  SignatureView sig_;
  std::array<PyObject*, Sig::size> slots_{};
};

}  // namespace ostrel::py::bind
