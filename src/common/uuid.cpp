#include "common/uuid.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>
#include <pthread.h>

#include <atomic>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

namespace ostrel::common {
namespace {

// Every context and every permit token mints a UUID, so the draws are pooled per thread (no
// lock on the hot path) and the pool is filled by OpenSSL's DRBG, which the operating system's
// random source seeds and which reseeds itself in a forked child. The kernel's generator costs
// several times more per byte, and made up a tenth of building a context from Python.
constexpr std::size_t kPoolBytes = 4096;

// Bumped in every forked child. A thread's pool drawn under an older generation was copied from
// the parent and would hand the child the same identifiers as the parent.
std::atomic<std::uint64_t> g_fork_generation{0};

void on_fork_child() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pthread_atfork(nullptr, nullptr, &on_fork_child) != 0) {
      std::fputs("ostrel: cannot register the fork handler of the UUID source\n", stderr);
      std::abort();
    }
  });
}

// A process that cannot draw random bytes cannot mint identifiers that others rely on being
// unique; carrying on with predictable ones would be worse than stopping.
[[noreturn]] void random_source_failed() {
  char reason[256] = "no reason given";
  if (const unsigned long code = ERR_get_error(); code != 0) ERR_error_string_n(code, reason, sizeof reason);
  std::fprintf(stderr, "ostrel: the random generator failed (%s); cannot mint UUIDs\n", reason);
  std::abort();
}

void fill_random(std::uint8_t* out, std::size_t n) {
  static_assert(kPoolBytes <= INT_MAX);
  if (RAND_bytes(out, static_cast<int>(n)) != 1) random_source_failed();
}

struct Pool {
  std::uint8_t bytes[kPoolBytes];
  std::size_t next = kPoolBytes;  // empty until first use
  std::uint64_t generation = 0;
};

thread_local Pool t_pool;

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string describe_char(std::string_view text, std::size_t index) {
  std::string out;
  const unsigned char c = static_cast<unsigned char>(text[index]);
  if (c >= 0x20 && c < 0x7f) {
    out += '`';
    out += static_cast<char>(c);
    out += '`';
  } else {
    static constexpr char digits[] = "0123456789abcdef";
    out += "byte 0x";
    out += digits[c >> 4];
    out += digits[c & 0xf];
  }
  out += " at position ";
  out += std::to_string(index + 1);
  return out;
}

UuidError error(UuidError::Kind kind, std::string detail) { return UuidError{kind, std::move(detail)}; }

// Reads 32 hex digits from `digits`, skipping the hyphens at the given offsets. `base` is the
// offset of `digits` inside the caller's original text, for the message.
Result<Uuid, UuidError> read_hex(std::string_view full, std::size_t base, std::size_t len, bool hyphenated) {
  static constexpr std::size_t kHyphens[] = {8, 13, 18, 23};
  Uuid u;
  std::size_t nibble = 0;
  std::size_t next_hyphen = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const char c = full[base + i];
    if (hyphenated && next_hyphen < 4 && i == kHyphens[next_hyphen]) {
      if (c != '-') {
        if (hex_value(c) >= 0) {
          return fail(error(UuidError::Kind::InvalidGroups,
                            "expected groups of 8-4-4-4-12 hex digits separated by `-`, found " +
                                describe_char(full, base + i)));
        }
        return fail(error(UuidError::Kind::InvalidCharacter,
                          "expected `-`, found " + describe_char(full, base + i)));
      }
      ++next_hyphen;
      continue;
    }
    const int v = hex_value(c);
    if (v < 0) {
      if (c == '-') {
        return fail(error(UuidError::Kind::InvalidGroups,
                          "expected groups of 8-4-4-4-12 hex digits separated by `-`, found " +
                              describe_char(full, base + i)));
      }
      return fail(error(UuidError::Kind::InvalidCharacter,
                        "expected a hex digit, found " + describe_char(full, base + i)));
    }
    std::uint8_t& b = u.bytes[nibble / 2];
    b = static_cast<std::uint8_t>((nibble % 2 == 0) ? (v << 4) : (b | v));
    ++nibble;
  }
  return u;
}

bool starts_with_urn(std::string_view text) {
  constexpr std::string_view prefix = "urn:uuid:";
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The common forms are read eight characters at a time, as the bytes of a 64-bit word (first
// character lowest), without a branch per character.
constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHigh = 0x8080808080808080;

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
  return w;
}

// Two runs of four characters as one word.
std::uint64_t load4x2(const char* first, const char* second) noexcept {
  std::uint32_t a;
  std::uint32_t b;
  std::memcpy(&a, first, 4);
  std::memcpy(&b, second, 4);
  if constexpr (std::endian::native == std::endian::big) {
    a = std::byteswap(a);
    b = std::byteswap(b);
  }
  return a | std::uint64_t{b} << 32;
}

// 0x80 in each byte of w within [lo, hi]. Every byte of w must be below 0x80, so that no sum
// carries into the next byte.
constexpr std::uint64_t bytes_within(std::uint64_t w, std::uint8_t lo, std::uint8_t hi) noexcept {
  return (w + kOnes * (0x80u - lo)) & ~(w + kOnes * (0x7fu - hi)) & kHigh;
}

// Eight hex digits into four bytes; false when any character is not a hex digit.
[[gnu::always_inline]] inline bool decode8(std::uint64_t w, std::uint8_t* out) noexcept {
  const std::uint64_t ascii = ~w & kHigh;
  const std::uint64_t low7 = w & ~kHigh;
  const std::uint64_t hex = bytes_within(low7, '0', '9') | bytes_within(low7 | kOnes * 0x20, 'a', 'f');
  // Digits carry their value in the low nibble; letters (bit 6 set) their value less 9.
  const std::uint64_t nibbles = (low7 & kOnes * 0x0f) + ((low7 >> 6) & kOnes) * 9;
  std::uint64_t v = ((nibbles & 0x00ff00ff00ff00ff) << 4) | ((nibbles >> 8) & 0x00ff00ff00ff00ff);
  v = (v | v >> 8) & 0x0000ffff0000ffff;
  auto bytes = static_cast<std::uint32_t>(v | v >> 16);
  if constexpr (std::endian::native == std::endian::big) bytes = std::byteswap(bytes);
  std::memcpy(out, &bytes, 4);
  return (ascii & hex) == kHigh;
}

std::optional<Uuid> decode_plain(const char* p) noexcept {
  Uuid u;
  bool ok = true;
  for (int i = 0; i < 4; ++i) ok &= decode8(load8(p + 8 * i), u.bytes.data() + 4 * i);
  if (!ok) return std::nullopt;
  return u;
}

// 8-4-4-4-12: the digits stand at [0, 8), [9, 13), [14, 18), [19, 23) and [24, 36).
std::optional<Uuid> decode_grouped(const char* p) noexcept {
  if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return std::nullopt;
  Uuid u;
  bool ok = decode8(load8(p), u.bytes.data());
  ok &= decode8(load4x2(p + 9, p + 14), u.bytes.data() + 4);
  ok &= decode8(load4x2(p + 19, p + 24), u.bytes.data() + 8);
  ok &= decode8(load8(p + 28), u.bytes.data() + 12);
  if (!ok) return std::nullopt;
  return u;
}

// Every form, checked character by character so that a malformed text gets a precise message.
Result<Uuid, UuidError> parse_carefully(std::string_view text) {
  std::size_t base = 0;
  std::string_view body = text;
  if (starts_with_urn(text)) {
    base = 9;
    body = text.substr(9);
    if (body.size() != 36) {
      return fail(error(UuidError::Kind::InvalidLength,
                        "expected 36 characters after `urn:uuid:`, found " + std::to_string(body.size())));
    }
    return read_hex(text, base, 36, true);
  }
  if (!text.empty() && text.front() == '{') {
    if (text.size() != 38 || text.back() != '}') {
      if (text.size() == 38) {
        return fail(error(UuidError::Kind::InvalidCharacter,
                          "expected `}`, found " + describe_char(text, text.size() - 1)));
      }
      return fail(error(UuidError::Kind::InvalidLength,
                        "expected 38 characters for the braced form, found " + std::to_string(text.size())));
    }
    return read_hex(text, 1, 36, true);
  }
  if (text.size() == 36) return read_hex(text, 0, 36, true);
  if (text.size() == 32) return read_hex(text, 0, 32, false);
  return fail(error(UuidError::Kind::InvalidLength,
                    "expected 32 hex digits, optionally as 8-4-4-4-12 groups, braced or after `urn:uuid:`, "
                    "found " +
                        std::to_string(text.size()) + " characters"));
}

// The forms by their lengths alone; nullopt for anything parse_carefully has to look at.
std::optional<Uuid> parse_quickly(std::string_view text) noexcept {
  const char* p = text.data();
  switch (text.size()) {
    case 36:
      return decode_grouped(p);
    case 32:
      return decode_plain(p);
    case 38:
      if (p[0] == '{' && p[37] == '}') return decode_grouped(p + 1);
      return std::nullopt;
    case 45:
      if (starts_with_urn(text)) return decode_grouped(p + 9);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string UuidError::display() const {
  switch (kind) {
    case Kind::InvalidLength:
      return "invalid length: " + detail;
    case Kind::InvalidCharacter:
      return "invalid character: " + detail;
    case Kind::InvalidGroups:
      return "invalid group layout: " + detail;
  }
  return detail;
}

Uuid Uuid::new_v4() {
  Pool& pool = t_pool;
  const std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
  if (pool.next + 16 > kPoolBytes || pool.generation != generation) {
    register_fork_handler();
    fill_random(pool.bytes, kPoolBytes);
    pool.next = 0;
    // Re-read after registering: a fork between the first load and the registration would
    // otherwise go unnoticed by this pool.
    pool.generation = g_fork_generation.load(std::memory_order_relaxed);
  }
  Uuid u;
  std::memcpy(u.bytes.data(), pool.bytes + pool.next, 16);
  // Handed-out bytes are not left behind for anything reading the pool later.
  std::memset(pool.bytes + pool.next, 0, 16);
  pool.next += 16;
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0f) | 0x40);  // version 4
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return u;
}

Result<Uuid, UuidError> Uuid::parse(std::string_view text) {
  if (auto u = parse_quickly(text)) return *u;
  return parse_carefully(text);
}

// parse_quickly accepts exactly what parse_carefully accepts; it only leaves the wording of
// the refusal to the other.
std::optional<Uuid> Uuid::try_parse(std::string_view text) noexcept { return parse_quickly(text); }

void Uuid::write_hyphenated(char* out) const noexcept {
  static constexpr char digits[] = "0123456789abcdef";
  std::size_t o = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = digits[bytes[i] >> 4];
    out[o++] = digits[bytes[i] & 0x0f];
  }
}

std::string Uuid::to_string() const {
  std::string out(36, '\0');
  write_hyphenated(out.data());
  return out;
}

}  // namespace ostrel::common
