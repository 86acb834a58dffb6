#include "common/utf8.hpp"

namespace ostrel::common {

std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0) lo = 0xa0;  // overlong
    if (c == 0xed) hi = 0x9f;  // surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0) lo = 0x90;  // overlong
    if (c == 0xf4) hi = 0x8f;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (b(i + 1) < lo || b(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (b(i + k) < 0x80 || b(i + k) > 0xbf) return 0;
  }
  return len;
}

std::size_t first_invalid_utf8(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t len = utf8_sequence_length(s, i);
    if (len == 0) return i;
    i += len;
  }
  return s.size();
}

}  // namespace ostrel::common
