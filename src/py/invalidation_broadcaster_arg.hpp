#pragma once
// The Python objects accepted wherever an invalidation broadcaster is expected (a gate's
// `broadcaster`, spawn_invalidation_listener): their native broadcaster, shared, not copied.
#include <Python.h>

#include <memory>

#include "core/invalidation/broadcaster.hpp"

namespace ostrel::py {

// The broadcaster behind `obj`, or null (with no error set) when `obj` is not an accepted
// broadcaster class.
std::shared_ptr<core::InvalidationBroadcaster> invalidation_broadcaster_from_py(PyObject* obj);

}  // namespace ostrel::py
