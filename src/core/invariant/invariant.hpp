#pragma once
// Hard limits that hold whatever the policy document says.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "common/time.hpp"
#include "core/action.hpp"

namespace ostrel::core {

// An absent or non-numeric parameter satisfies both parameter bounds; a NaN on either side
// breaks them, since every comparison with NaN is false.
struct ParamAtMost {
  std::string field;
  double max;
};
struct ParamAtLeast {
  std::string field;
  double min;
};
struct MaxActionsPerSession {
  std::uint64_t limit;
};
// Whole seconds since the session started, read from the clock at the moment of the check.
struct MaxSessionAge {
  std::int64_t limit_secs;
};
// Exact, case-sensitive names. An empty allow list allows nothing; an empty block list blocks
// nothing.
struct ActionAllowList {
  std::vector<std::string> names;
};
struct ActionBlockList {
  std::vector<std::string> names;
};

// A caller-supplied check, shared between every copy of the invariant and called from any
// thread at once. It fails closed: a missing function, or one that throws, does not hold.
using PredicateFn = std::function<bool(const ActionContext&)>;
struct Predicate {
  std::shared_ptr<const PredicateFn> fn;
};

using InvariantCheck = std::variant<ParamAtMost, ParamAtLeast, MaxActionsPerSession, MaxSessionAge,
                                    ActionAllowList, ActionBlockList, Predicate>;

struct Invariant {
  InvariantCheck check;
  std::string name;         // in logs and refusal reasons
  std::string description;  // the limit in words, quoted in the refusal reason

  bool holds(const ActionContext& ctx) const;
  // As holds(), with `now` standing for the clock that MaxSessionAge would read.
  bool holds_at(const ActionContext& ctx, const common::Instant& now) const;

  // The invariants the gate builds from its keywords, with their fixed descriptions:
  // "parameter '{field}' must be at most {max}" and "maximum {limit} actions per session".
  static Invariant param_at_most(std::string name, std::string field, double max);
  static Invariant max_session_actions(std::uint64_t limit);
};

}  // namespace ostrel::core
