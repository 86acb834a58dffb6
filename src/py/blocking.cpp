#include "py/blocking.hpp"

#include <Python.h>

namespace ostrel::py {

namespace {

// Set only on a Python thread inside block_on. The hooks are process-wide and also run for
// native callers of block_on, which hold no interpreter lock and must not touch it.
thread_local bool may_release_lock = false;

void* release_lock() noexcept {
  if (!may_release_lock) return nullptr;
  return PyEval_SaveThread();
}

void retake_lock(void* token) noexcept {
  if (token != nullptr) PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

}  // namespace

namespace detail {

LockReleasePermit::LockReleasePermit() noexcept : previous_(may_release_lock) { may_release_lock = true; }
LockReleasePermit::~LockReleasePermit() { may_release_lock = previous_; }

}  // namespace detail

runtime::Runtime* shared_runtime() {
  auto rt = runtime::runtime();
  if (!rt) {
    bind::raise(bind::ErrorKind::Fault, rt.error().display());
    return nullptr;
  }
  return *rt;
}

void install_blocking_hooks() noexcept { runtime::set_blocking_hooks({&release_lock, &retake_lock}); }

}  // namespace ostrel::py
