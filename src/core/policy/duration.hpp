#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostrel::core {

// "30s", "15m", "2h", "1d" or a bare number of seconds, optionally with one leading '+' and
// surrounding white space. Lower-case units only, no fractions, no compound forms. Empty when
// the text does not read, or when the seconds would not fit in 64 bits: a wrapped product
// would turn an absurd window into a tiny one.
std::optional<std::uint64_t> parse_duration_secs(std::string_view text) noexcept;

}  // namespace ostrel::core
