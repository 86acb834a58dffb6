#include "core/policy/whitespace.hpp"

#include <array>

namespace ostrel::core {
namespace {

// Every White_Space code point outside ASCII, as UTF-8. Matching whole byte sequences keeps
// this safe on invalid UTF-8: a stray continuation byte is simply not white space.
constexpr std::array<std::string_view, 19> kWide = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

constexpr bool ascii_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

std::size_t whitespace_at(std::string_view text, std::size_t pos) noexcept {
  if (pos >= text.size()) return 0;
  if (ascii_space(text[pos])) return 1;
  if (static_cast<unsigned char>(text[pos]) < 0x80) return 0;
  const std::string_view rest = text.substr(pos);
  for (std::string_view w : kWide) {
    if (rest.starts_with(w)) return w.size();
  }
  return 0;
}

std::size_t whitespace_before(std::string_view text, std::size_t end) noexcept {
  if (end == 0 || end > text.size()) return 0;
  if (ascii_space(text[end - 1])) return 1;
  if (static_cast<unsigned char>(text[end - 1]) < 0x80) return 0;
  const std::string_view head = text.substr(0, end);
  for (std::string_view w : kWide) {
    if (head.ends_with(w)) return w.size();
  }
  return 0;
}

std::string_view trim_whitespace(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (std::size_t n = whitespace_at(text, begin)) begin += n;
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t n = whitespace_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

WhitespaceSplit split_at_first_whitespace(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::size_t n = whitespace_at(text, i)) {
      return {text.substr(0, i), text.substr(i + n), true};
    }
  }
  return {text, {}, false};
}

}  // namespace ostrel::core
