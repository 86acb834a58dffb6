#include "core/invalidation_scope.hpp"

#include <type_traits>

namespace ostrel::core {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_escape(std::string& out, unsigned code) {
  out += "\\u{";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned digit = (code >> shift) & 0xF;
    if (digit != 0 || started || shift == 0) {
      out += kHex[digit];
      started = true;
    }
  }
  out += '}';
}

// The text in double quotes, with quotes, backslashes and control characters escaped so that
// a log line cannot be forged or broken by a principal id or role name.
void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      append_hex_escape(out, c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F, the C1 controls, two bytes in UTF-8.
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace

std::string target_debug(const InvalidationTarget& target) {
  return std::visit(
      [](const auto& t) {
        using T = std::decay_t<decltype(t)>;
        std::string out;
        if constexpr (std::is_same_v<T, SessionTarget>) {
          out = "Session(";
          out += t.session_id.to_string();
        } else if constexpr (std::is_same_v<T, PrincipalTarget>) {
          out = "Principal(";
          append_quoted(out, t.principal_id);
        } else {
          out = "Role(";
          append_quoted(out, t.role);
        }
        out += ')';
        return out;
      },
      target);
}

std::string InvalidationScope::display() const {
  std::string out = "invalidate ";
  out += target_debug(target);
  out += " by ";
  out += evaluator;
  out += ": ";
  out += reason;
  return out;
}

}  // namespace ostrel::core
