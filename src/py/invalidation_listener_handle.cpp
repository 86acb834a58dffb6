#include "py/invalidation_listener_handle.hpp"

#include "py/bind/entry.hpp"

namespace ostrel::py {

namespace {

constexpr bind::NoParams kAbort{"InvalidationListenerHandle.abort()"};

// The task stops at its next wait, after the callback in progress (if any) has returned.
bind::PyResult<void> abort(ListenerHandle& self) {
  if (self.job) {
    self.job->abort();
    self.job.reset();
  }
  return {};
}

bool is_finished(const ListenerHandle& self) { return !self.job || self.job->is_finished(); }

PyMethodDef methods[] = {
    {"abort", bind::as_method(&bind::mutating_method<ListenerHandle, kAbort, &abort>), METH_FASTCALL | METH_KEYWORDS,
     "abort($self)\n--\n\n"
     "Stops the listener at its next wait (a callback already running is not interrupted) and releases "
     "the handle. A second call does nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    bind::property("is_finished", &bind::computed<ListenerHandle, &is_finished>,
                   "True once aborted, or once the listener ended because its channel closed."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

}  // namespace ostrel::py

PyObject* ostrel::py::bind::ClassInfo<ostrel::py::ListenerHandle>::create_type() {
  return make_class<py::ListenerHandle>({
      .qualified_name = "builtins.InvalidationListenerHandle",
      .doc = "A running invalidation listener, as returned by spawn_invalidation_listener.",
      .methods = py::methods,
      .getset = py::properties,
  });
}
