#include "core/permit_token.hpp"

#include <algorithm>

namespace ostrel::core {

namespace {

void put_i64_le(std::uint8_t* out, std::int64_t v) {
  auto u = static_cast<std::uint64_t>(v);  // two's complement: -1 is eight 0xFF bytes
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

}  // namespace

PermitToken PermitToken::mint(const common::Uuid& evaluation_id, std::string action_name) {
  PermitToken t;
  t.token_id = common::Uuid::new_v4();
  t.evaluation_id = evaluation_id;
  t.issued_at = common::Instant::now();
  t.expires_at = t.issued_at.plus_seconds(PERMIT_LIFETIME_SECS);
  t.action_name = std::move(action_name);
  return t;
}

std::vector<std::uint8_t> PermitToken::canonical_bytes() const {
  // Whole seconds only (Instant::seconds is already floored), so a token rebuilt from its
  // integer wire fields signs and verifies like the one that was minted.
  std::vector<std::uint8_t> out(48 + action_name.size());
  std::copy(token_id.bytes.begin(), token_id.bytes.end(), out.begin());
  std::copy(evaluation_id.bytes.begin(), evaluation_id.bytes.end(), out.begin() + 16);
  put_i64_le(out.data() + 32, issued_at.seconds);
  put_i64_le(out.data() + 40, expires_at.seconds);
  std::copy(action_name.begin(), action_name.end(), out.begin() + 48);
  return out;
}

}  // namespace ostrel::core
