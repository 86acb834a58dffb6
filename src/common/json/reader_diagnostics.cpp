#include "common/json/reader_diagnostics.hpp"

#include "common/utf8.hpp"

namespace ostrel::common::json::detail::diagnostics {
namespace {

void set_position(const Context& c, const char* p, SchemaError& e) {
  if (!c.positions || p == nullptr || e.line != 0) return;
  std::size_t off = p < c.base ? 0 : static_cast<std::size_t>(p - c.base);
  if (off > c.length) off = c.length;
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < off; ++i) {
    const unsigned char b = static_cast<unsigned char>(c.base[i]);
    if (b == '\n') {
      ++line;
      column = 1;
    } else if ((b & 0xc0) != 0x80) {  // columns count characters, not bytes
      ++column;
    }
  }
  e.line = line;
  e.column = column;
}

}  // namespace

SchemaError at(const Context& c, const char* p, SchemaError e) {
  set_position(c, p, e);
  return e;
}

const char* end_of(const Context& c) { return c.base + c.length; }

const char* current(const Context& c) {
  auto loc = c.doc->current_location();
  if (loc.error()) return end_of(c);
  return loc.value_unsafe();
}

std::string printable(unsigned char b) {
  std::string out;
  if (b >= 0x20 && b < 0x7f) {
    out += '`';
    out += static_cast<char>(b);
    out += '`';
  } else {
    static constexpr char hex[] = "0123456789abcdef";
    out += "byte 0x";
    out += hex[b >> 4];
    out += hex[b & 0xf];
  }
  return out;
}

SchemaError unexpected_at(const Context& c, const char* p) {
  if (p >= end_of(c)) return at(c, p, SchemaError::syntax("unexpected end of the document"));
  return at(c, p, SchemaError::syntax("unexpected character " + printable(static_cast<unsigned char>(*p))));
}

namespace {

// JSON number grammar, to tell a malformed number from a well-formed one out of range.
bool is_number_token(std::string_view t) {
  std::size_t i = 0;
  const auto digit = [&](std::size_t k) { return k < t.size() && t[k] >= '0' && t[k] <= '9'; };
  if (i < t.size() && t[i] == '-') ++i;
  if (!digit(i)) return false;
  if (t[i] == '0') {
    ++i;
  } else {
    while (digit(i)) ++i;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digit(i)) return false;
    while (digit(i)) ++i;
  }
  return i == t.size();
}

}  // namespace

std::string_view token_at(const Context& c, const char* p) {
  const char* e = p;
  const char* end = end_of(c);
  while (e < end && *e != ',' && *e != ']' && *e != '}' && *e != ' ' && *e != '\n' && *e != '\r' &&
         *e != '\t' && *e != ':') {
    ++e;
  }
  return {p, static_cast<std::size_t>(e - p)};
}

namespace {

// The first character after the scalar token at p and the whitespace that follows it.
const char* after_scalar(const Context& c, const char* p) {
  const char* end = end_of(c);
  if (p < end && *p == '"') {
    bool escaped = false;
    for (++p; p < end; ++p) {
      if (escaped) {
        escaped = false;
      } else if (*p == '\\') {
        escaped = true;
      } else if (*p == '"') {
        ++p;
        break;
      }
    }
  } else {
    p += token_at(c, p).size();
  }
  while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  return p;
}

}  // namespace

SchemaError number_error(const Context& c, const char* p) {
  if (is_number_token(token_at(c, p))) return at(c, p, SchemaError::syntax("number out of range"));
  return at(c, p, SchemaError::syntax("invalid number"));
}

namespace {

// simdjson reports the first malformed structure of a document only roughly; on this error path
// a scan of the brackets says what is wrong and where.
SchemaError diagnose_structure(const Context& c) {
  std::string stack;
  bool in_string = false;
  bool escaped = false;
  const char* string_start = nullptr;
  for (const char* p = c.base; p < end_of(c); ++p) {
    const char ch = *p;
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (ch == '\\') {
        escaped = true;
      } else if (ch == '"') {
        in_string = false;
      }
      continue;
    }
    switch (ch) {
      case '"':
        in_string = true;
        string_start = p;
        break;
      case '{':
      case '[':
        stack += ch;
        break;
      case '}':
      case ']':
        if (stack.empty() || stack.back() != (ch == '}' ? '{' : '[')) {
          return at(c, p, SchemaError::syntax("unexpected " + printable(static_cast<unsigned char>(ch))));
        }
        stack.pop_back();
        if (stack.empty()) {
          const char* q = p + 1;
          while (q < end_of(c) && (*q == ' ' || *q == '\n' || *q == '\r' || *q == '\t')) ++q;
          if (q < end_of(c)) return at(c, q, SchemaError::syntax("trailing characters"));
        }
        break;
      default:
        break;
    }
  }
  if (in_string) return at(c, string_start, SchemaError::syntax("unterminated string"));
  return at(c, end_of(c), SchemaError::syntax("unexpected end of the document"));
}

}  // namespace

SchemaError first_pass_error(const Context& c, simdjson::error_code code) {
  const std::string_view text(c.base, c.length);
  switch (code) {
    case simdjson::EMPTY:
      return at(c, end_of(c), SchemaError::syntax("the document is empty"));
    case simdjson::UTF8_ERROR:
      return at(c, c.base + first_invalid_utf8(text), SchemaError::syntax("invalid UTF-8"));
    case simdjson::UNESCAPED_CHARS: {
      bool in_string = false;
      bool escaped = false;
      for (const char* p = c.base; p < end_of(c); ++p) {
        const auto b = static_cast<unsigned char>(*p);
        if (!in_string) {
          in_string = b == '"';
        } else if (escaped) {
          escaped = false;
        } else if (b == '\\') {
          escaped = true;
        } else if (b == '"') {
          in_string = false;
        } else if (b < 0x20) {
          return at(c, p, SchemaError::syntax("control character " + printable(b) + " in a string"));
        }
      }
      return at(c, end_of(c), SchemaError::syntax("control character in a string"));
    }
    case simdjson::UNCLOSED_STRING:
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
      return diagnose_structure(c);
    case simdjson::CAPACITY:
      return SchemaError::syntax("the document is too large");
    case simdjson::MEMALLOC:
      return SchemaError::syntax("out of memory while reading the document");
    default:
      return at(c, c.base, SchemaError::syntax(std::string("invalid JSON: ") + simdjson::error_message(code)));
  }
}

SchemaError walk_error(const Context& c, simdjson::error_code code, const char* p) {
  switch (code) {
    case simdjson::NUMBER_ERROR:
      return number_error(c, p);
    case simdjson::STRING_ERROR:
      return at(c, p, SchemaError::syntax("invalid escape in a string"));
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR:
    case simdjson::INCORRECT_TYPE:
      return at(c, p, SchemaError::syntax("invalid literal " + std::string(token_at(c, p)) +
                                          ", expected true, false or null"));
    case simdjson::TRAILING_CONTENT:
      // Only a top-level scalar reports this; containers are checked after the walk.
      return at(c, after_scalar(c, p), SchemaError::syntax("trailing characters"));
    case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
    case simdjson::UNCLOSED_STRING:
      return diagnose_structure(c);
    case simdjson::TAPE_ERROR:
      return unexpected_at(c, p);
    default:
      return at(c, p, SchemaError::syntax(std::string("invalid JSON: ") + simdjson::error_message(code)));
  }
}

SchemaError too_deep(const Context& c, const char* p, std::uint32_t limit) {
  return at(c, p, SchemaError::syntax("nesting deeper than " + std::to_string(limit) + " levels"));
}

}  // namespace ostrel::common::json::detail::diagnostics
