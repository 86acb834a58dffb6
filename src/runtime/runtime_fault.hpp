#pragma once
#include <string>

namespace ostrel::runtime {

// An internal fault of the runtime: a violated invariant rather than a failed operation. The
// binding layer raises it as the dedicated fault exception, which ordinary handlers do not catch.
struct RuntimeFault {
  enum class Kind {
    CreationFailed,    // the shared runtime could not be built; detail: the reason
    BlockedOnWorker,   // block_on called on one of the runtime's own worker threads
    TaskFailed,        // an exception escaped the task given to block_on; detail: its text
    InvalidTask,       // block_on or spawn given an empty (moved-from) task
  };
  Kind kind;
  std::string detail;

  static RuntimeFault creation_failed(std::string why) { return {Kind::CreationFailed, std::move(why)}; }
  static RuntimeFault blocked_on_worker() { return {Kind::BlockedOnWorker, {}}; }
  static RuntimeFault task_failed(std::string what) { return {Kind::TaskFailed, std::move(what)}; }
  static RuntimeFault invalid_task() { return {Kind::InvalidTask, {}}; }

  std::string display() const;
};

}  // namespace ostrel::runtime
