#pragma once
#include <string_view>

namespace ostrel::core {

// Action and resource patterns. "p.*" and "p*" match every name that begins with p (so
// "payments.*" also matches "paymentsx": the dot is not a separator); "*" matches everything;
// any other pattern must equal the name. Case-sensitive, byte for byte.
bool pattern_matches(std::string_view pattern, std::string_view name) noexcept;

}  // namespace ostrel::core
