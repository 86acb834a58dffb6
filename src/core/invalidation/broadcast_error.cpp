#include "core/invalidation/broadcast_error.hpp"

namespace ostrel::core {

std::string BroadcastError::display() const {
  switch (kind) {
    case Kind::BackendUnavailable:
      return "invalidation broadcast backend unavailable: " + message;
    case Kind::Lagged:
      return "invalidation subscriber lagged, " + std::to_string(count) + " messages dropped";
    case Kind::Closed:
      return "invalidation channel closed";
    case Kind::Other:
      return "invalidation broadcast: " + message;
  }
  return "invalidation broadcast: " + message;  // only reachable from a kind cast out of range
}

}  // namespace ostrel::core
