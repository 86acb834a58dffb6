#pragma once
#include <cstdint>
#include <string>

namespace ostrel::core {

// Failure of an invalidation broadcaster. Lagged and Closed describe a subscription's state;
// publishing reports BackendUnavailable or Other.
struct BroadcastError {
  enum class Kind { BackendUnavailable, Lagged, Closed, Other };
  Kind kind;
  std::string message;      // BackendUnavailable, Other
  std::uint64_t count = 0;  // Lagged: scopes lost

  static BroadcastError backend_unavailable(std::string m) { return {Kind::BackendUnavailable, std::move(m), 0}; }
  static BroadcastError lagged(std::uint64_t n) { return {Kind::Lagged, {}, n}; }
  static BroadcastError closed() { return {Kind::Closed, {}, 0}; }
  static BroadcastError other(std::string m) { return {Kind::Other, std::move(m), 0}; }

  // "invalidation broadcast backend unavailable: {}", "invalidation subscriber lagged, {} messages
  // dropped", "invalidation channel closed", "invalidation broadcast: {}"
  std::string display() const;
};

}  // namespace ostrel::core
