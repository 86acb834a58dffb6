#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "core/ostrel_error.hpp"
#include "core/permit_token.hpp"

namespace ostrel::core {

// Signs and verifies the canonical bytes of permit tokens. Shared between threads.
class TokenSigner {
 public:
  virtual ~TokenSigner() = default;
  virtual common::Result<std::vector<std::uint8_t>, OstrelError> sign(const PermitToken& token) const = 0;
  virtual common::Result<void, OstrelError> verify(const PermitToken& token,
                                                   std::span<const std::uint8_t> signature) const = 0;
};

}  // namespace ostrel::core
