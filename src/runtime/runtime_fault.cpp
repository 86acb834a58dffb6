#include "runtime/runtime_fault.hpp"

namespace ostrel::runtime {

std::string RuntimeFault::display() const {
  switch (kind) {
    case Kind::CreationFailed:
      return "failed to create the shared async runtime: " + detail;
    case Kind::BlockedOnWorker:
      return "cannot block on the shared async runtime from one of its own worker threads";
    case Kind::TaskFailed:
      return "async task failed: " + detail;
    case Kind::InvalidTask:
      return "async task is empty (already started or moved from)";
  }
  return "internal runtime fault";
}

}  // namespace ostrel::runtime
