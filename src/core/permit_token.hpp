#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/time.hpp"
#include "common/uuid.hpp"

namespace ostrel::core {

inline constexpr std::int64_t PERMIT_LIFETIME_SECS = 30;

struct PermitToken {
  common::Uuid token_id;
  common::Uuid evaluation_id;
  common::Instant issued_at;
  common::Instant expires_at;
  std::string action_name;
  std::optional<std::vector<std::uint8_t>> signature;

  // Fresh token id, issued now, expiring 30 seconds later, unsigned.
  static PermitToken mint(const common::Uuid& evaluation_id, std::string action_name);

  // The bytes a signer signs: token_id (16) | evaluation_id (16) | issued_at secs (i64 LE) |
  // expires_at secs (i64 LE) | action_name (UTF-8). The signature is not included.
  std::vector<std::uint8_t> canonical_bytes() const;
};

}  // namespace ostrel::core
