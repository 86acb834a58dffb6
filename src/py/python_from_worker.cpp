#include "py/python_from_worker.hpp"

#include <condition_variable>
#include <mutex>

#include "py/bind/refs.hpp"

namespace ostrel::py {

namespace {

std::mutex mu;
std::condition_variable idle;
bool exiting = false;  // guarded by mu
int active = 0;        // calls in progress, guarded by mu
// Calls in progress on this thread, so that an exit started from inside one (a callback that runs
// the exit functions itself) does not wait for itself.
thread_local int depth = 0;
bool registered = false;  // only touched with the interpreter lock held

PyObject* on_exit(PyObject*, PyObject*) {
  {
    std::lock_guard lock(mu);
    exiting = true;
  }
  // The calls in progress may be waiting for the lock this thread holds.
  PyThreadState* saved = PyEval_SaveThread();
  {
    std::unique_lock lock(mu);
    idle.wait(lock, [] { return active == depth; });
  }
  PyEval_RestoreThread(saved);
  return bind::none();
}

PyMethodDef on_exit_def = {"_ostrel_stop_worker_calls", &on_exit, METH_NOARGS,
                           "Stops calls from runtime worker threads into the exiting interpreter."};

}  // namespace

WorkerPythonCall::WorkerPythonCall() noexcept {
  {
    std::lock_guard lock(mu);
    if (exiting) return;
    ++active;
  }
  ++depth;
  entered_ = true;
  state_ = PyGILState_Ensure();
}

WorkerPythonCall::~WorkerPythonCall() {
  if (!entered_) return;
  PyGILState_Release(state_);
  --depth;
  {
    std::lock_guard lock(mu);
    --active;
  }
  idle.notify_all();
}

bool stop_worker_calls_at_exit() {
  if (registered) return true;
  bind::Ref atexit = bind::Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  bind::Ref hook = bind::Ref::steal(PyCFunction_NewEx(&on_exit_def, nullptr, nullptr));
  if (!hook) return false;
  bind::Ref done = bind::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  if (!done) return false;
  registered = true;
  return true;
}

WorkerSafeRef::~WorkerSafeRef() {
  if (obj_ == nullptr) return;
  WorkerPythonCall call;
  if (call.entered()) Py_DECREF(obj_);
}

}  // namespace ostrel::py
