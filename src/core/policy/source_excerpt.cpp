#include "core/policy/source_excerpt.hpp"

#include <algorithm>
#include <vector>

namespace ostrel::core {
namespace {

constexpr std::size_t kContext = 60;  // code points kept on each side of the column

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The code points of one line, as byte ranges.
std::vector<std::string_view> code_points(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t j = i + 1;
    while (j < line.size() && is_continuation(line[j])) ++j;
    out.push_back(line.substr(i, j - i));
    i = j;
  }
  return out;
}

}  // namespace

std::string frame_with_excerpt(std::string_view source, std::string_view message, std::size_t line,
                               std::size_t column) {
  std::string out(message);
  if (line == 0) return out;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(column);

  std::size_t begin = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t nl = source.find('\n', begin);
    if (nl == std::string_view::npos) return out;
    begin = nl + 1;
  }
  std::size_t end = source.find('\n', begin);
  if (end == std::string_view::npos) end = source.size();
  std::string_view text = source.substr(begin, end - begin);
  if (text.ends_with('\r')) text.remove_suffix(1);

  const std::vector<std::string_view> cps = code_points(text);
  const std::size_t col = column == 0 ? 0 : column - 1;
  const std::size_t first = col > kContext ? col - kContext : 0;
  const std::size_t last = std::min(cps.size(), col + kContext + 1);

  const std::string number = std::to_string(line);
  std::string excerpt;
  std::string caret;
  if (first > 0) {
    excerpt += "...";
    caret += "   ";
  }
  for (std::size_t i = first; i < last; ++i) {
    const std::string_view cp = cps[i];
    const bool control = cp.size() == 1 && (static_cast<unsigned char>(cp[0]) < 0x20 || cp[0] == 0x7F);
    if (cp == "\t") {
      excerpt += '\t';
    } else if (control) {
      excerpt += ' ';
    } else {
      excerpt += cp;
    }
    if (i < col) caret += cp == "\t" ? '\t' : ' ';
  }
  if (last < cps.size()) excerpt += "...";
  caret += '^';

  out += "\n  ";
  out += number;
  out += " | ";
  out += excerpt;
  out += "\n  ";
  out.append(number.size(), ' ');
  out += " | ";
  out += caret;
  return out;
}

}  // namespace ostrel::core
