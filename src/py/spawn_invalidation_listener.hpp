#pragma once
// Module function spawn_invalidation_listener(broadcaster, callback).
#include <Python.h>

namespace ostrel::py {

// A new reference to the function object, for the module's registration table; nullptr with an
// error set on failure.
PyObject* spawn_invalidation_listener_function();

}  // namespace ostrel::py
