#pragma once
// Calls into the interpreter from runtime worker threads.
//
// A worker takes the interpreter lock with the thread-state API around each call. A thread that
// does so once the interpreter is finalizing is ended on the spot by the interpreter, which a
// worker thread in the middle of a runtime handler cannot survive, and Python objects must not be
// touched after finalization anyway. So calls from workers stop when the interpreter starts to
// exit: an atexit callback (registered by the first user) forbids new calls and waits, with the
// lock let go, for those in progress to return. From then on workers skip their Python calls and
// leak, rather than release, the references they still hold.
#include <Python.h>

#include <utility>

namespace ostrel::py {

// Holds the interpreter lock for its lifetime when entered() is true; when the interpreter is
// exiting nothing is taken and entered() is false. Reentrant; also usable on a thread that
// already holds the lock.
class WorkerPythonCall {
 public:
  WorkerPythonCall() noexcept;
  ~WorkerPythonCall();
  WorkerPythonCall(const WorkerPythonCall&) = delete;
  WorkerPythonCall& operator=(const WorkerPythonCall&) = delete;

  bool entered() const noexcept { return entered_; }

 private:
  bool entered_ = false;
  PyGILState_STATE state_{};
};

// Registers the exit callback once per process; with the interpreter lock held. False with the
// error set if registration failed.
bool stop_worker_calls_at_exit();

// A strong reference that may be released on any thread: on a worker it takes the lock to drop
// the reference (or leaks it once the interpreter is exiting).
class WorkerSafeRef {
 public:
  // Takes a new reference to `obj`; call with the lock held.
  explicit WorkerSafeRef(PyObject* obj) noexcept : obj_(obj) { Py_XINCREF(obj_); }
  WorkerSafeRef(WorkerSafeRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  WorkerSafeRef& operator=(WorkerSafeRef&&) = delete;
  WorkerSafeRef(const WorkerSafeRef&) = delete;
  WorkerSafeRef& operator=(const WorkerSafeRef&) = delete;
  ~WorkerSafeRef();

  // Use only inside an entered WorkerPythonCall (or with the lock otherwise held).
  PyObject* get() const noexcept { return obj_; }

 private:
  PyObject* obj_;
};

}  // namespace ostrel::py
