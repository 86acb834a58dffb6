#include "common/json/writer.hpp"

#include <charconv>
#include <cmath>

#include "common/utf8.hpp"

namespace ostrel::common::json {
namespace {

template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, end);
}

}  // namespace

bool append_string(std::string& out, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  bool valid = true;
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t len = utf8_sequence_length(s, i);
      if (len == 0) {
        out += "\xef\xbf\xbd";
        valid = false;
        ++i;
      } else {
        out.append(s.substr(i, len));
        i += len;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return valid;
}

void append_f64(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  out += text;
  // A float must read back as a float, not as an integer.
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void Writer::separate() {
  if (need_comma_) out_ += ',';
}

Writer& Writer::begin_object() {
  separate();
  out_ += '{';
  need_comma_ = false;
  return *this;
}

Writer& Writer::end_object() {
  out_ += '}';
  need_comma_ = true;
  return *this;
}

Writer& Writer::begin_array() {
  separate();
  out_ += '[';
  need_comma_ = false;
  return *this;
}

Writer& Writer::end_array() {
  out_ += ']';
  need_comma_ = true;
  return *this;
}

Writer& Writer::key(std::string_view name) {
  separate();
  if (!append_string(out_, name)) replaced_invalid_utf8_ = true;
  out_ += ':';
  need_comma_ = false;
  return *this;
}

Writer& Writer::string(std::string_view s) {
  separate();
  if (!append_string(out_, s)) replaced_invalid_utf8_ = true;
  need_comma_ = true;
  return *this;
}

Writer& Writer::u64(std::uint64_t v) {
  separate();
  append_int(out_, v);
  need_comma_ = true;
  return *this;
}

Writer& Writer::i64(std::int64_t v) {
  separate();
  append_int(out_, v);
  need_comma_ = true;
  return *this;
}

Writer& Writer::f64(double v) {
  separate();
  append_f64(out_, v);
  need_comma_ = true;
  return *this;
}

Writer& Writer::boolean(bool v) {
  separate();
  out_ += v ? "true" : "false";
  need_comma_ = true;
  return *this;
}

Writer& Writer::null() {
  separate();
  out_ += "null";
  need_comma_ = true;
  return *this;
}

Writer& Writer::raw(std::string_view json) {
  separate();
  out_ += json;
  need_comma_ = true;
  return *this;
}

Writer& Writer::value(const Value& v) {
  std::visit(
      [this](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          null();
        } else if constexpr (std::is_same_v<T, bool>) {
          boolean(x);
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          u64(x);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          i64(x);
        } else if constexpr (std::is_same_v<T, double>) {
          f64(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          string(x);
        } else if constexpr (std::is_same_v<T, Array>) {
          begin_array();
          for (const Value& e : x) value(e);
          end_array();
        } else {
          begin_object();
          for (const auto& [k, e] : x) {
            key(k);
            value(e);
          }
          end_object();
        }
      },
      v.storage());
  return *this;
}

std::string to_json(const Value& v) {
  Writer w;
  w.value(v);
  return std::move(w).take();
}

}  // namespace ostrel::common::json
