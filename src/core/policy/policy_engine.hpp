#pragma once
// The policy evaluator: the first rule (in priority order) whose conditions all hold decides;
// when none does, the action is refused. Rate limits count in a shared store and fail closed.
// The rules can be replaced while evaluations run: each evaluation works on the set that was
// active when it started, and reading the active set takes no lock.
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/evaluator.hpp"
#include "core/policy/compiled_policy_set.hpp"
#include "core/policy/policy_set.hpp"
#include "core/policy/snapshot_slot.hpp"
#include "core/rate_limit.hpp"

namespace ostrel::core {

class PolicyEngine final : public Evaluator {
 public:
  static constexpr std::string_view NAME = "policy";
  static constexpr std::uint32_t PRIORITY = 50;

  // Counts in a new in-memory store of its own.
  explicit PolicyEngine(PolicySet policies);
  // Counts in the given store, which others may share. A null store fails every evaluation
  // of a set with rate limits, as an unreachable backend would.
  PolicyEngine(PolicySet policies, std::shared_ptr<RateLimitStore> rate_store);

  std::string_view name() const override { return NAME; }
  std::uint32_t priority() const override { return PRIORITY; }
  // `ctx` must outlive the returned task.
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const override;

  // Swaps in the new rules; cannot fail. Evaluations already running finish with the old ones.
  // Rate-limit counts are kept.
  void reload(PolicySet policies);

  std::shared_ptr<const CompiledPolicySet> active() const { return active_.load(); }
  const std::shared_ptr<RateLimitStore>& rate_store() const noexcept { return rate_store_; }

 private:
  enum class Holds : std::uint8_t { No, Yes, AskStore };
  Holds check(const Condition& c, const PreparedCondition& p, const ActionContext& ctx) const;
  Verdict decide(const CompiledRule* matched, const ActionContext& ctx) const;

  std::shared_ptr<RateLimitStore> rate_store_;
  SnapshotSlot<CompiledPolicySet> active_;
};

}  // namespace ostrel::core
