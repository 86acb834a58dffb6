#include "core/verdict.hpp"

namespace ostrel::core {

std::string_view refuse_code_text(RefuseCode code) {
  switch (code) {
    case RefuseCode::IDENTITY_FAILED:
      return "IDENTITY_FAILED";
    case RefuseCode::POLICY_DENIED:
      return "POLICY_DENIED";
    case RefuseCode::NO_POLICY_MATCH:
      return "NO_POLICY_MATCH";
    case RefuseCode::RATE_LIMIT_EXCEEDED:
      return "RATE_LIMIT_EXCEEDED";
    case RefuseCode::SESSION_INVALID:
      return "SESSION_INVALID";
    case RefuseCode::INVARIANT_VIOLATION:
      return "INVARIANT_VIOLATION";
    case RefuseCode::DRIFT_DETECTED:
      return "DRIFT_DETECTED";
    case RefuseCode::PERMIT_EXPIRED:
      return "PERMIT_EXPIRED";
  }
  return "UNKNOWN";  // only reachable from a value cast out of range
}

std::string RefuseReason::display() const {
  std::string out = "[";
  out += refuse_code_text(code);
  out += "] ";
  out += evaluator;
  out += ": ";
  out += reason;
  return out;
}

}  // namespace ostrel::core
