#include "core/rate_limit.hpp"

namespace ostrel::core {

std::string RateLimitStoreError::display() const {
  switch (kind) {
    case Kind::BackendUnavailable: return "rate-limit backend unavailable: " + message;
    case Kind::Corrupt: return "rate-limit store corruption: " + message;
    case Kind::Other: break;
  }
  return "rate-limit store: " + message;
}

std::string rate_limit_key(std::string_view principal_id, std::string_view action_name) {
  std::string key;
  key.reserve(principal_id.size() + 1 + action_name.size());
  key += principal_id;
  key += ':';
  key += action_name;
  return key;
}

}  // namespace ostrel::core
