#pragma once
// Errors are values: fallible operations return Result<T, E>, where E is a small struct
// with a `kind` enum, its payload and `display()` giving the fixed user-facing text.
#include <concepts>
#include <expected>
#include <string>
#include <utility>

namespace ostrel::common {

template <class T, class E>
using Result = std::expected<T, E>;

template <class E>
concept DisplayError = requires(const E& e) {
  { e.display() } -> std::convertible_to<std::string>;
};

template <class E>
[[nodiscard]] auto fail(E&& e) {
  return std::unexpected<std::decay_t<E>>(std::forward<E>(e));
}

// "{context}: {error}", the one way every layer puts context before an underlying error.
template <DisplayError E>
[[nodiscard]] std::string with_context(std::string_view context, const E& e) {
  std::string out(context);
  out += ": ";
  out += e.display();
  return out;
}

}  // namespace ostrel::common
