#include "core/ostrel_error.hpp"

namespace ostrel::core {

std::string PolicyError::display() const {
  switch (kind) {
    case Kind::Parse:
      return "policy parse error: " + text;
    case Kind::UnknownCondition:
      return "unknown condition type: " + text;
    case Kind::Conflict:
      return "conflicting policies: " + text + " and " + second;
  }
  return text;
}

std::string IdentityError::display() const {
  switch (kind) {
    case Kind::CredentialsMissing:
      return "credentials missing";
    case Kind::CredentialsExpired:
      return "credentials expired at " + first;
    case Kind::PrincipalNotRecognized:
      return "principal not recognized: " + first;
    case Kind::ContextMismatch:
      return "context mismatch: expected " + first + ", got " + second;
    case Kind::DeviceFingerprintMismatch:
      return "device fingerprint mismatch";
  }
  return first;
}

std::string OstrelError::display() const {
  switch (kind) {
    case Kind::Policy: {
      const auto* e = std::get_if<PolicyError>(&inner);
      return "policy error: " + (e != nullptr ? e->display() : text);
    }
    case Kind::Identity: {
      const auto* e = std::get_if<IdentityError>(&inner);
      return "identity error: " + (e != nullptr ? e->display() : text);
    }
    case Kind::Config:
      return "config error: " + text;
    case Kind::Execution:
      return "execution error: " + text;
    case Kind::Audit:
      return "audit error: " + text;
    case Kind::InvariantViolation:
      return "invariant violation: " + text + ", " + second;
    case Kind::Io:
      return "io error: " + text;
    case Kind::Serialization:
      return "serialization error: " + text;
  }
  return text;
}

}  // namespace ostrel::core
