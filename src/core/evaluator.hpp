#pragma once
#include <cstdint>
#include <string_view>

#include "core/action.hpp"
#include "core/verdict.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {

// One link of the gate's chain. Implementations are shared between threads and must allow
// concurrent evaluate() calls. evaluate never fails: an evaluator turns its own errors into a
// Refuse, so the chain fails closed.
class Evaluator {
 public:
  virtual ~Evaluator() = default;
  // A short constant name, used in log events and as the evaluator of its own verdicts.
  virtual std::string_view name() const = 0;
  virtual runtime::Task<Verdict> evaluate(const ActionContext& ctx) const = 0;
  // Position in the chain: lower runs earlier.
  virtual std::uint32_t priority() const = 0;
};

}  // namespace ostrel::core
