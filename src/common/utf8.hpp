#pragma once
// UTF-8 well-formedness as RFC 3629 defines it: no overlong forms, no surrogates, nothing above
// U+10FFFF.
#include <cstddef>
#include <string_view>

namespace ostrel::common {

// Length of the well-formed sequence that starts at text[i], or 0 when none does.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) noexcept;
// Offset of the first byte that does not start a well-formed sequence, or text.size().
std::size_t first_invalid_utf8(std::string_view text) noexcept;

}  // namespace ostrel::common
