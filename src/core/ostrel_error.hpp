#pragma once
// The core error types and their display texts.
#include <string>
#include <variant>

namespace ostrel::core {

struct PolicyError {
  enum class Kind { Parse, UnknownCondition, Conflict };
  Kind kind;
  std::string text;    // Parse: the reader's message; UnknownCondition: the kind; Conflict: first name
  std::string second;  // Conflict: second name
  // "policy parse error: {}", "unknown condition type: {}", "conflicting policies: {} and {}"
  std::string display() const;
};

struct IdentityError {
  enum class Kind {
    CredentialsMissing,
    CredentialsExpired,
    PrincipalNotRecognized,
    ContextMismatch,
    DeviceFingerprintMismatch,
  };
  Kind kind;
  std::string first;
  std::string second;
  std::string display() const;
};

struct OstrelError {
  enum class Kind { Policy, Identity, Config, Execution, Audit, InvariantViolation, Io, Serialization };
  Kind kind;
  std::variant<std::monostate, PolicyError, IdentityError> inner;
  std::string text;    // Config, Execution, Audit, Io, Serialization; InvariantViolation: first text
  std::string second;  // InvariantViolation: second text

  static OstrelError policy(PolicyError e) { return {Kind::Policy, std::move(e), {}, {}}; }
  static OstrelError identity(IdentityError e) { return {Kind::Identity, std::move(e), {}, {}}; }
  static OstrelError serialization(std::string t) { return {Kind::Serialization, {}, std::move(t), {}}; }
  static OstrelError config(std::string t) { return {Kind::Config, {}, std::move(t), {}}; }
  static OstrelError execution(std::string t) { return {Kind::Execution, {}, std::move(t), {}}; }
  static OstrelError audit(std::string t) { return {Kind::Audit, {}, std::move(t), {}}; }
  static OstrelError io(std::string t) { return {Kind::Io, {}, std::move(t), {}}; }
  static OstrelError invariant_violation(std::string a, std::string b) {
    return {Kind::InvariantViolation, {}, std::move(a), std::move(b)};
  }
  std::string display() const;
};

}  // namespace ostrel::core
