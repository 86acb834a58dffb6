#pragma once
#include <string>
#include <variant>

namespace ostrel::core {

struct NoDrift {
  friend bool operator==(const NoDrift&, const NoDrift&) = default;
};

// Suspicious but not conclusive; enough of them at once refuse the action.
struct DriftWarning {
  std::string detector;
  std::string message;
  friend bool operator==(const DriftWarning&, const DriftWarning&) = default;
};

// The session must not continue.
struct DriftViolation {
  std::string detector;
  std::string reason;
  friend bool operator==(const DriftViolation&, const DriftViolation&) = default;
};

using DriftSignal = std::variant<NoDrift, DriftWarning, DriftViolation>;

}  // namespace ostrel::core
