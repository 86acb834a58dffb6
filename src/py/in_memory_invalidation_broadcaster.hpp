#pragma once
// Python class InMemoryInvalidationBroadcaster. The instance shares its native broadcaster with
// every gate and listener set-up it is given to; the channel closes when the last of them lets go.
#include <Python.h>

#include <memory>
#include <string_view>

#include "core/invalidation/in_memory_broadcaster.hpp"
#include "py/bind/types.hpp"

namespace ostrel::py {

struct InMemoryBroadcasterRef {
  std::shared_ptr<core::InMemoryInvalidationBroadcaster> broadcaster;
};

}  // namespace ostrel::py

namespace ostrel::py::bind {
template <>
struct ClassInfo<py::InMemoryBroadcasterRef> {
  static constexpr std::string_view name = "InMemoryInvalidationBroadcaster";
  static PyObject* create_type();
};
}  // namespace ostrel::py::bind
