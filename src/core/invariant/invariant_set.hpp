#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/time.hpp"
#include "core/evaluator.hpp"
#include "core/invariant/invariant.hpp"

namespace ostrel::core {

// Refuses at the first invariant that does not hold, in list order. Immutable and stateless, so
// one set serves concurrent evaluations without locking.
class InvariantSet final : public Evaluator {
 public:
  static constexpr std::string_view kName = "invariants";
  static constexpr std::uint32_t kPriority = 150;

  explicit InvariantSet(std::vector<Invariant> invariants) : invariants_(std::move(invariants)) {}

  std::string_view name() const override { return kName; }
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const override;
  std::uint32_t priority() const override { return kPriority; }

  // The verdict evaluate() yields, with `now` standing for the clock; emits the same event.
  Verdict decide(const ActionContext& ctx, const common::Instant& now) const;

  const std::vector<Invariant>& invariants() const { return invariants_; }

 private:
  Verdict decide_with(const ActionContext& ctx, const common::Instant* now) const;

  std::vector<Invariant> invariants_;
};

// One (name, field, max) element of the gate's `invariants` keyword.
struct ParamLimit {
  std::string name;
  std::string field;
  double max;
};

// The invariants a gate gets from its keywords: a ParamAtMost per limit, in order, then
// "max_session_actions" when a limit on session actions is given.
std::vector<Invariant> gate_invariants(std::span<const ParamLimit> limits,
                                       std::optional<std::uint64_t> max_session_actions);

// The gate's invariant evaluator, or null when the keywords ask for no invariant (the gate then
// has no invariant evaluator at all).
std::shared_ptr<InvariantSet> make_gate_invariant_set(std::span<const ParamLimit> limits,
                                                      std::optional<std::uint64_t> max_session_actions);

}  // namespace ostrel::core
