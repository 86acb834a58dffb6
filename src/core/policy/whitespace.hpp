#pragma once
// Unicode white space (the White_Space property) in UTF-8 text. Durations and time windows are
// trimmed with it, so a non-breaking space pasted from a document trims like an ASCII one.
#include <cstddef>
#include <string_view>

namespace ostrel::core {

// Byte length of the white-space character that starts at text[pos], or 0 when there is none.
std::size_t whitespace_at(std::string_view text, std::size_t pos) noexcept;
// Byte length of the white-space character that ends just before text[end], or 0.
std::size_t whitespace_before(std::string_view text, std::size_t end) noexcept;

std::string_view trim_whitespace(std::string_view text) noexcept;

struct WhitespaceSplit {
  std::string_view before;
  std::string_view after;  // what follows the first white-space character
  bool found = false;
};
// Splits at the first white-space character, which belongs to neither side.
WhitespaceSplit split_at_first_whitespace(std::string_view text) noexcept;

}  // namespace ostrel::core
