#pragma once
#include <string>
#include <string_view>
#include <variant>

#include "common/error.hpp"
#include "common/json/schema_error.hpp"
#include "common/uuid.hpp"

namespace ostrel::core {

struct SessionTarget {
  common::Uuid session_id;
  friend bool operator==(const SessionTarget&, const SessionTarget&) = default;
};
struct PrincipalTarget {
  std::string principal_id;
  friend bool operator==(const PrincipalTarget&, const PrincipalTarget&) = default;
};
struct RoleTarget {
  std::string role;
  friend bool operator==(const RoleTarget&, const RoleTarget&) = default;
};
using InvalidationTarget = std::variant<SessionTarget, PrincipalTarget, RoleTarget>;

// Session(uuid), Principal("id"), Role("name") with quotes, backslashes and controls escaped.
std::string target_debug(const InvalidationTarget& target);

struct InvalidationScope {
  InvalidationTarget target;
  std::string reason;
  std::string evaluator;

  // "invalidate {target debug} by {evaluator}: {reason}"
  std::string display() const;
  // {"target":{"session"|"principal"|"role":...},"reason":...,"evaluator":...}
  std::string to_json() const;
  static common::Result<InvalidationScope, common::json::SchemaError> from_json(std::string_view text);

  friend bool operator==(const InvalidationScope&, const InvalidationScope&) = default;
};

}  // namespace ostrel::core
