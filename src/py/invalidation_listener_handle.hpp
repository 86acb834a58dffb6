#pragma once
// Python class InvalidationListenerHandle: the join handle of one listener task, or nothing once
// aborted. Releasing the object without abort() detaches the task, which runs until its channel
// closes.
#include <Python.h>

#include <optional>
#include <string_view>

#include "py/bind/types.hpp"
#include "runtime/spawn.hpp"

namespace ostrel::py {

struct ListenerHandle {
  std::optional<runtime::JoinHandle> job;
};

}  // namespace ostrel::py

namespace ostrel::py::bind {
template <>
struct ClassInfo<py::ListenerHandle> {
  static constexpr std::string_view name = "InvalidationListenerHandle";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
