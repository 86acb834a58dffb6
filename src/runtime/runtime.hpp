#pragma once
// The shared asynchronous runtime: one Asio io_context run by a pool of worker threads.
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "runtime/runtime_fault.hpp"

namespace ostrel::runtime {

class Runtime {
 public:
  // A runtime with `threads` workers, or one per processor core (at least one) when 0. The
  // process-wide runtime comes from runtime(); separate instances are for tests and benchmarks.
  static common::Result<std::unique_ptr<Runtime>, RuntimeFault> create(std::size_t threads = 0);

  // Stops and joins the workers. Handlers still queued are destroyed without running, so tasks
  // waiting on this runtime are leaked rather than resumed: destroy a runtime only once idle.
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& io_context() noexcept { return io_; }
  asio::io_context::executor_type executor() noexcept { return io_.get_executor(); }
  std::size_t worker_count() const noexcept { return workers_.size(); }

  // The runtime whose worker thread is the caller, or null on any other thread.
  static Runtime* current() noexcept;

 private:
  Runtime() = default;
  void work() noexcept;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
  std::vector<std::thread> workers_;
};

// The process-wide runtime, created on first use and never destroyed. Concurrent first callers
// race safely and exactly one creation runs; a creation that fails leaves nothing behind, reports
// CreationFailed to its caller and is tried again by the next one.
common::Result<Runtime*, RuntimeFault> runtime();

namespace detail {
// Makes the next creation of a runtime fail with `reason`, once. For tests of the failure path.
void fail_next_creation(std::string reason);
}  // namespace detail

}  // namespace ostrel::runtime
