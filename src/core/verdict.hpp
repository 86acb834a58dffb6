#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "common/uuid.hpp"
#include "core/invalidation_scope.hpp"
#include "core/permit_token.hpp"

namespace ostrel::core {

enum class RefuseCode : std::uint8_t {
  IDENTITY_FAILED,
  POLICY_DENIED,
  NO_POLICY_MATCH,
  RATE_LIMIT_EXCEEDED,
  SESSION_INVALID,
  INVARIANT_VIOLATION,
  DRIFT_DETECTED,
  PERMIT_EXPIRED,
};
std::string_view refuse_code_text(RefuseCode code);  // the constant's name

struct RefuseReason {
  std::string evaluator;
  std::string reason;
  common::Uuid evaluation_id;
  RefuseCode code;

  // "[{code}] {evaluator}: {reason}"
  std::string display() const;
};

struct Permit {
  PermitToken token;
};
struct Refuse {
  RefuseReason reason;
};
struct Invalidate {
  InvalidationScope scope;
};

using Verdict = std::variant<Permit, Refuse, Invalidate>;

}  // namespace ostrel::core
