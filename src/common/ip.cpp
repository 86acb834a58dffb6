#include "common/ip.hpp"

#include <charconv>

namespace ostrel::common {
namespace {

// Strict dotted quad: exactly four decimal octets, no leading zeros (which some parsers read as
// octal), no shortened forms such as "1.2.3" that inet_aton would accept.
std::optional<std::array<std::uint8_t, 4>> parse_v4(std::string_view text) {
  std::array<std::uint8_t, 4> out{};
  std::size_t i = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
    const std::size_t start = i;
    unsigned v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t len = i - start;
    if (len == 0 || v > 255 || (len > 1 && text[start] == '0')) return std::nullopt;
    out[static_cast<std::size_t>(octet)] = static_cast<std::uint8_t>(v);
  }
  if (i != text.size()) return std::nullopt;
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::array<std::uint8_t, 16>> parse_v6(std::string_view text) {
  std::uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // index in `groups` where "::" stands
  std::size_t i = 0;
  if (text.starts_with("::")) {
    gap = 0;
    i = 2;
  } else if (text.starts_with(":")) {
    return std::nullopt;
  }
  while (i < text.size()) {
    if (count == 8) return std::nullopt;
    std::size_t end = text.find(':', i);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view seg = text.substr(i, end - i);
    if (seg.find('.') != std::string_view::npos) {
      // An IPv4 tail fills the last two groups and ends the address.
      if (end != text.size() || count > 6) return std::nullopt;
      auto v4 = parse_v4(seg);
      if (!v4) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]);
      groups[count++] = static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]);
      i = end;
      break;
    }
    if (seg.empty() || seg.size() > 4) return std::nullopt;
    unsigned v = 0;
    for (char c : seg) {
      const int h = hex_value(c);
      if (h < 0) return std::nullopt;
      v = v << 4 | static_cast<unsigned>(h);
    }
    groups[count++] = static_cast<std::uint16_t>(v);
    i = end;
    if (i == text.size()) break;
    ++i;  // the ':'
    if (i < text.size() && text[i] == ':') {
      if (gap >= 0) return std::nullopt;
      gap = count;
      ++i;
    } else if (i == text.size()) {
      return std::nullopt;  // a single trailing ':'
    }
  }
  // "::" stands for at least one zero group.
  if (gap < 0 ? count != 8 : count > 7) return std::nullopt;

  std::array<std::uint8_t, 16> out{};
  const int head = gap < 0 ? count : gap;
  const int tail = count - head;
  for (int g = 0; g < head; ++g) {
    out[static_cast<std::size_t>(2 * g)] = static_cast<std::uint8_t>(groups[g] >> 8);
    out[static_cast<std::size_t>(2 * g + 1)] = static_cast<std::uint8_t>(groups[g]);
  }
  for (int g = 0; g < tail; ++g) {
    const int pos = 8 - tail + g;
    out[static_cast<std::size_t>(2 * pos)] = static_cast<std::uint8_t>(groups[head + g] >> 8);
    out[static_cast<std::size_t>(2 * pos + 1)] = static_cast<std::uint8_t>(groups[head + g]);
  }
  return out;
}

void append_dotted(std::string& out, const std::uint8_t* b) {
  char buf[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) out += '.';
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(b[i]));
    (void)ec;
    out.append(buf, end);
  }
}

}  // namespace

IpAddr IpAddr::v4(std::array<std::uint8_t, 4> b) {
  IpAddr a;
  a.family = Family::V4;
  for (std::size_t i = 0; i < 4; ++i) a.bytes[i] = b[i];
  return a;
}

IpAddr IpAddr::v6(std::array<std::uint8_t, 16> b) {
  IpAddr a;
  a.family = Family::V6;
  a.bytes = b;
  return a;
}

std::optional<IpAddr> IpAddr::parse(std::string_view text) {
  if (text.find(':') != std::string_view::npos) {
    if (auto b = parse_v6(text)) return v6(*b);
    return std::nullopt;
  }
  if (auto b = parse_v4(text)) return v4(*b);
  return std::nullopt;
}

std::string IpAddr::to_string() const {
  std::string out;
  if (family == Family::V4) {
    out.reserve(15);
    append_dotted(out, bytes.data());
    return out;
  }
  out.reserve(39);
  bool mapped = bytes[10] == 0xff && bytes[11] == 0xff;
  for (std::size_t i = 0; i < 10 && mapped; ++i) mapped = bytes[i] == 0;
  if (mapped) {
    out += "::ffff:";
    append_dotted(out, bytes.data() + 12);
    return out;
  }

  std::uint16_t groups[8];
  for (int g = 0; g < 8; ++g) {
    groups[g] = static_cast<std::uint16_t>(bytes[static_cast<std::size_t>(2 * g)] << 8 |
                                           bytes[static_cast<std::size_t>(2 * g + 1)]);
  }
  // RFC 5952 4.2: the longest run of two or more zero groups becomes "::", the first on a tie.
  int best_start = -1;
  int best_len = 1;
  for (int g = 0; g < 8;) {
    if (groups[g] != 0) {
      ++g;
      continue;
    }
    int end = g;
    while (end < 8 && groups[end] == 0) ++end;
    if (end - g > best_len) {
      best_start = g;
      best_len = end - g;
    }
    g = end;
  }
  char buf[8];
  for (int g = 0; g < 8; ++g) {
    if (g == best_start) {
      out += "::";
      g += best_len - 1;
      continue;
    }
    if (g > 0 && g != best_start + best_len) out += ':';
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(groups[g]), 16);
    (void)ec;
    out.append(buf, end);
  }
  return out;
}

}  // namespace ostrel::common
