#include "runtime/job.hpp"

#include <asio/post.hpp>
#include <exception>
#include <string>

#include "common/log.hpp"
#include "runtime/runtime.hpp"

namespace ostrel::runtime::detail {

std::shared_ptr<Job> Job::make(Runtime& rt, std::coroutine_handle<Promise<void>> root) {
  auto job = std::make_shared<Job>(rt, root);
  job->self_ = job;
  root.promise().set_job(job.get());
  root.promise().set_root(job.get());
  return job;
}

void Job::start() {
  asio::post(rt_.executor(), [this] {
    if (aborted()) {
      destroy_task();
    } else {
      root_.resume();
    }
  });
}

void Job::abort() noexcept {
  if (aborted_.exchange(true, std::memory_order_acq_rel)) return;
  std::lock_guard lock(mu_);
  if (canceller_ != nullptr) canceller_->cancel();
}

void Job::resume(std::coroutine_handle<> h) noexcept {
  bool stop;
  {
    std::lock_guard lock(mu_);
    canceller_ = nullptr;
    stop = aborted();
  }
  if (stop) {
    destroy_task();
  } else {
    h.resume();
  }
}

void Job::post_resume(std::coroutine_handle<> h) {
  asio::post(rt_.executor(), [this, h] { resume(h); });
}

void Job::on_root_done() noexcept {
  if (root_.promise().failed() && common::log::enabled()) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(root_.promise().error());
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    common::log::emit(common::log::Level::Error, "ostrel_runtime", "runtime/job", "spawned task raised",
                      {{"error", std::string_view(what)}});
  }
  destroy_task();
}

void Job::destroy_task() noexcept {
  // Frames may own objects whose destructors take locks of their own (a channel receiver); none
  // of ours is held here.
  std::exchange(root_, {}).destroy();
  {
    std::lock_guard lock(done_mu_);
    finished_.store(true, std::memory_order_release);
  }
  done_cv_.notify_all();
  if (finish_hook_) std::exchange(finish_hook_, {})();
  // Last: this may destroy the job.
  auto keep = std::move(self_);
}

}  // namespace ostrel::runtime::detail
