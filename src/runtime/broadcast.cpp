#include "runtime/broadcast.hpp"

#include <asio/post.hpp>

#include "runtime/runtime.hpp"

namespace ostrel::runtime::detail {
namespace {

// Each node is read before it is handed on: once resumed, its coroutine may destroy it at once.
void resume_each(BroadcastWaitNode* n) {
  while (n != nullptr) {
    BroadcastWaitNode* next = n->next;
    const Resumer resumer = n->resumer;
    if (next == nullptr || n->rt == nullptr) {
      resumer();
    } else {
      // Spread the batch over the workers rather than running every receiver here in turn.
      asio::post(n->rt->executor(), resumer);
    }
    n = next;
  }
}

}  // namespace

Runtime* runtime_for_waiter(Job* job) noexcept {
  if (job != nullptr) return &job->runtime();
  if (Runtime* rt = Runtime::current()) return rt;
  auto rt = runtime();
  return rt ? *rt : nullptr;
}

void wake_batch(BroadcastWaitNode* head) {
  if (head->rt == nullptr) {
    resume_each(head);
    return;
  }
  asio::post(head->rt->executor(), [head] { resume_each(head); });
}

}  // namespace ostrel::runtime::detail
