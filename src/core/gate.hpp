#pragma once
// The gate: runs the evaluator chain over one action and answers with one verdict, failing
// closed. Built completely (chain, broadcaster, signer) before it is shared, then read-only, so
// any number of evaluations may run on it at once.
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/action.hpp"
#include "core/evaluator.hpp"
#include "core/invalidation/broadcaster.hpp"
#include "core/token_signer.hpp"
#include "core/verdict.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {

class Gate {
 public:
  // The chain runs in ascending priority; evaluators of equal priority keep the given order.
  // Invalidations go to a no-op broadcaster and permits are unsigned until the builders below
  // say otherwise. Null evaluators are dropped.
  static Gate create(std::vector<std::shared_ptr<Evaluator>> evaluators, bool observe_only);

  // Builders: they consume the gate, so it is configured completely before anyone shares it.
  // A null broadcaster restores the no-op one; a null signer removes the signer.
  Gate with_broadcaster(std::shared_ptr<InvalidationBroadcaster> broadcaster) &&;
  Gate with_token_signer(std::shared_ptr<TokenSigner> signer) &&;

  // The verdict of the chain. An invalidated session is refused before any evaluator runs; the
  // first verdict that is not a permit ends the chain (an invalidation is published first, and a
  // failed publication changes nothing); when all permit, a token is minted and, with a signer,
  // signed; a failed signature refuses. The gate and `ctx` must outlive the returned task.
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const;
  // Runs evaluate() completely (events, broadcast, signing), logs what it would have blocked, and
  // answers a fresh unsigned permit whatever the chain decided.
  runtime::Task<Verdict> evaluate_observe_only(const ActionContext& ctx) const;

  bool observe_only() const noexcept { return observe_only_; }
  std::span<const std::shared_ptr<Evaluator>> evaluators() const noexcept { return evaluators_; }
  std::size_t evaluator_count() const noexcept { return evaluators_.size(); }
  const std::shared_ptr<InvalidationBroadcaster>& broadcaster() const noexcept { return broadcaster_; }
  const std::shared_ptr<TokenSigner>& token_signer() const noexcept { return token_signer_; }

 private:
  Gate(std::vector<std::shared_ptr<Evaluator>> evaluators, bool observe_only,
       std::shared_ptr<InvalidationBroadcaster> broadcaster);

  std::vector<std::shared_ptr<Evaluator>> evaluators_;
  bool observe_only_;
  std::shared_ptr<InvalidationBroadcaster> broadcaster_;
  std::shared_ptr<TokenSigner> token_signer_;
};

}  // namespace ostrel::core
