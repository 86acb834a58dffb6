#include "core/policy/pattern.hpp"

namespace ostrel::core {

bool pattern_matches(std::string_view pattern, std::string_view name) noexcept {
  if (pattern.ends_with(".*")) return name.starts_with(pattern.substr(0, pattern.size() - 2));
  if (pattern.ends_with('*')) return name.starts_with(pattern.substr(0, pattern.size() - 1));
  return name == pattern;
}

}  // namespace ostrel::core
