#include "py/spawn_invalidation_listener.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "core/invalidation/listener.hpp"
#include "py/bind/entry.hpp"
#include "py/blocking.hpp"
#include "py/invalidation_broadcaster_arg.hpp"
#include "py/invalidation_listener_handle.hpp"
#include "py/invalidation_scope.hpp"
#include "py/python_from_worker.hpp"

namespace ostrel::py {

namespace {

std::string text_of(PyObject* obj) {
  bind::Ref str = bind::Ref::steal(PyObject_Str(obj));
  if (str) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &n)) return std::string(utf8, static_cast<std::size_t>(n));
  }
  PyErr_Clear();
  return "<str() failed>";
}

// Reports the pending exception of a callback on standard error and clears it. It goes to the
// process's stream, not through the log events: an exception in host code must be visible even
// when no collector is installed.
void report_callback_error() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  bind::Ref owned_type = bind::Ref::steal(type);
  bind::Ref owned_value = bind::Ref::steal(value);
  bind::Ref owned_tb = bind::Ref::steal(traceback);
  std::string line = "[ostrel] invalidation listener callback raised, continuing: ";
  line += owned_type ? bind::type_name(owned_type.get()) : "?";
  line += ": ";
  if (owned_value) line += text_of(owned_value.get());
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// One scope handed to the Python callable, on the worker that runs the listener. The call is
// synchronous: the listener takes its next scope only after the callable has returned.
runtime::Task<void> call_python(const WorkerSafeRef& callable, core::InvalidationScope scope) {
  WorkerPythonCall call;
  if (!call.entered()) co_return;  // the interpreter is exiting
  bind::Ref view = bind::Ref::steal(bind::wrap(std::move(scope)));
  bind::Ref result;
  if (view) result = bind::Ref::steal(PyObject_CallFunctionObjArgs(callable.get(), view.get(), nullptr));
  if (!result) report_callback_error();
  co_return;
}

constexpr bind::Signature kSpawn{"spawn_invalidation_listener()",
                                 {bind::required("broadcaster"), bind::required("callback")}};

// Waits on nothing: subscribes, starts the listener task on the shared runtime and returns.
bind::PyResult<ListenerHandle> spawn(bind::ArgsOf<kSpawn>& a) {
  auto broadcaster = invalidation_broadcaster_from_py(a.raw(0));
  if (!broadcaster) {
    return bind::raise(bind::ErrorKind::Value,
                       "broadcaster must be InMemoryInvalidationBroadcaster or RedisInvalidationBroadcaster");
  }
  runtime::Runtime* rt = shared_runtime();
  if (rt == nullptr) return bind::pending();
  if (!stop_worker_calls_at_exit()) return bind::pending();
  // Any object is accepted: one that is not callable fails at each call, like a raising callback.
  core::InvalidationCallback callback = [callable = WorkerSafeRef(a.raw(1))](core::InvalidationScope scope) {
    return call_python(callable, std::move(scope));
  };
  auto handle = core::spawn_invalidation_listener(*rt, *broadcaster, std::move(callback));
  if (!handle) return bind::raise(bind::ErrorKind::Fault, handle.error().display());
  return ListenerHandle{std::move(*handle)};
}

PyMethodDef spawn_def = {
    "spawn_invalidation_listener", bind::as_method(&bind::function<kSpawn, &spawn>), METH_FASTCALL | METH_KEYWORDS,
    "spawn_invalidation_listener(broadcaster, callback)\n--\n\n"
    "Starts a background listener that calls callback(scope) with an InvalidationScope for every "
    "invalidation published on broadcaster from now on, one at a time, on a runtime worker thread. An "
    "exception raised by the callback is printed to standard error and the listener goes on. Returns "
    "an InvalidationListenerHandle."};

}  // namespace

PyObject* spawn_invalidation_listener_function() {
  bind::Ref module_name = bind::Ref::steal(PyUnicode_FromString("_ostrel_engine"));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(&spawn_def, nullptr, module_name.get());
}

}  // namespace ostrel::py
