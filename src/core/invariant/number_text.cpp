#include "core/invariant/number_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace ostrel::core {
namespace {

// Positional notation of the extreme doubles: DBL_MAX has 309 integral digits, plus sign, point
// and the requested decimals.
constexpr std::size_t kPositionalBufferSize = 320;

const char* non_finite_text(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string plain_number_text(double value) {
  if (!std::isfinite(value)) return non_finite_text(value);
  // The fixed format's own shortest form breaks ties by closeness, so above 2^53 it prints the
  // exact binary integer (12345678901234566097272832 for 1.2345678901234567e25). The fewest
  // significant digits come from the scientific form; lay them out positionally here.
  std::array<char, 32> sci;
  const auto res = std::to_chars(sci.data(), sci.data() + sci.size(), value, std::chars_format::scientific);
  const std::string_view text(sci.data(), static_cast<std::size_t>(res.ptr - sci.data()));
  const std::size_t e_pos = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e_pos + 1 + (text[e_pos + 1] == '+' ? 1 : 0), text.data() + text.size(),
                  exponent);

  std::string out;
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c == '-') {
      out += '-';
    } else if (c != '.') {
      digits += c;
    }
  }
  // Digits before the decimal point: the first digit sits at 10^exponent.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::string fixed_number_text(double value, int decimals) {
  if (!std::isfinite(value)) return non_finite_text(value);
  if (decimals < 0) decimals = 0;
  std::string out(kPositionalBufferSize + static_cast<std::size_t>(decimals), '\0');
  const auto res =
      std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
  out.resize(static_cast<std::size_t>(res.ptr - out.data()));
  return out;
}

}  // namespace ostrel::core
