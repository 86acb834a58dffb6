// Entry point of the _ostrel_engine extension module.
//
// Initialisation admits one interpreter per process: the type objects, the fault class and the
// shared runtime are process-wide, and objects of one interpreter must not leak into another.
// A second initialisation in the same interpreter (e.g. after the module was dropped from
// sys.modules) returns the module object created the first time.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "py/action_context.hpp"
#include "py/bind/refs.hpp"
#include "py/bind/types.hpp"
#include "py/blocking.hpp"
#include "py/device_fingerprint.hpp"
#include "py/gate.hpp"
#include "py/geo_location.hpp"
#include "py/in_memory_invalidation_broadcaster.hpp"
#include "py/invalidation_listener_handle.hpp"
#include "py/invalidation_scope.hpp"
#include "py/permit_token.hpp"
#include "py/spawn_invalidation_listener.hpp"
#include "py/verdict.hpp"

namespace ostrel::py {

namespace {

struct Registration {
  const char* name;
  PyObject* (*make)();  // a new reference to the object to register, or nullptr with an error set
};

template <class T>
PyObject* class_object() {
  auto* type = reinterpret_cast<PyObject*>(bind::type_of<T>());
  Py_XINCREF(type);
  return type;
}

// Registration order is the order of __all__. Each class adds its line at its place.
constexpr Registration kRegistry[] = {
    {"Gate", &class_object<GateHandle>},
    {"ActionContext", &class_object<core::ActionContext>},
    {"GeoLocation", &class_object<core::GeoLocation>},
    {"DeviceFingerprint", &class_object<core::DeviceFingerprint>},
    {"Verdict", &class_object<core::Verdict>},
    {"PermitToken", &class_object<core::PermitToken>},
    {"InMemoryInvalidationBroadcaster", &class_object<InMemoryBroadcasterRef>},
    {"InvalidationScope", &class_object<core::InvalidationScope>},
    {"InvalidationListenerHandle", &class_object<ListenerHandle>},
    {"spawn_invalidation_listener", &spawn_invalidation_listener_function},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ostrel_engine",
    "Compiled core of the ostrel gate engine: every gate evaluation runs natively here.",
    // Not -1: with a size of 0 the interpreter calls this init again on re-import instead of
    // copying a cached module dict, so the interpreter check below runs for every interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to __all__ (creating the list if absent), then sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  bind::Ref all = bind::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = bind::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  bind::Ref text = bind::Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
  bind::Ref module = bind::Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (const Registration& r : kRegistry) {
    bind::Ref value = bind::Ref::steal(r.make());
    if (!value || !add_to_module(module.get(), r.name, value.get())) return nullptr;
  }
  return module.release();
}

// Ids are non-negative; -1 means no interpreter has initialised the module yet.
std::atomic<std::int64_t> initialised_in{-1};
// The module object, created once per process (only one interpreter can ever get it).
std::atomic<PyObject*> module_cell{nullptr};

PyObject* init() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!initialised_in.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_ostrel_engine does not support sub-interpreters: it is already initialised in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (PyObject* existing = module_cell.load(std::memory_order_acquire)) {
    Py_INCREF(existing);
    return existing;
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  install_blocking_hooks();
  // The cell keeps its own reference for the life of the process. Only the interpreter that
  // holds the lock gets here, so no other initialisation can race this store.
  Py_INCREF(module);
  module_cell.store(module, std::memory_order_release);
  return module;
}

}  // namespace

}  // namespace ostrel::py

PyMODINIT_FUNC PyInit__ostrel_engine() {
  try {
    return ostrel::py::init();
  } catch (...) {
    ostrel::py::bind::set_from_current_exception();
    return nullptr;
  }
}
