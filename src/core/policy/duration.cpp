#include "core/policy/duration.hpp"

#include <charconv>

#include "core/policy/whitespace.hpp"

namespace ostrel::core {
namespace {

std::uint64_t unit_factor(char c) noexcept {
  switch (c) {
    case 'd': return 86400;
    case 'h': return 3600;
    case 'm': return 60;
    case 's': return 1;
    default: return 0;
  }
}

}  // namespace

std::optional<std::uint64_t> parse_duration_secs(std::string_view text) noexcept {
  std::string_view t = trim_whitespace(text);
  if (t.empty()) return std::nullopt;

  std::uint64_t factor = unit_factor(t.back());
  if (factor != 0) {
    t.remove_suffix(1);
  } else {
    factor = 1;
  }
  if (t.starts_with('+')) t.remove_prefix(1);
  // from_chars takes no sign for unsigned types, but it must also see at least one digit here
  // so that "+" and "++5" are refused.
  if (t.empty() || t.front() < '0' || t.front() > '9') return std::nullopt;
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
  if (ec != std::errc{} || end != t.data() + t.size()) return std::nullopt;
  std::uint64_t secs = 0;
  if (__builtin_mul_overflow(n, factor, &secs)) return std::nullopt;
  return secs;
}

}  // namespace ostrel::core
