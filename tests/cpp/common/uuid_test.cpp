#include "common/uuid.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::common {
namespace {

TEST(Uuid, NewV4SetsVersionAndVariantAndDoesNotRepeat) {
  std::set<std::string> seen;
  // Several pool refills, so the refill path is exercised too.
  for (int i = 0; i < 1000; ++i) {
    const Uuid u = Uuid::new_v4();
    EXPECT_EQ(u.bytes[6] >> 4, 4);
    EXPECT_EQ(u.bytes[8] & 0xc0, 0x80);
    EXPECT_TRUE(seen.insert(u.to_string()).second);
  }
}

TEST(Uuid, ThreadsDrawDistinctIdentifiers) {
  std::vector<std::vector<Uuid>> per_thread(4);
  std::vector<std::thread> threads;
  for (auto& out : per_thread) {
    threads.emplace_back([&out] {
      for (int i = 0; i < 500; ++i) out.push_back(Uuid::new_v4());
    });
  }
  for (auto& t : threads) t.join();
  std::set<Uuid> all;
  for (const auto& v : per_thread) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 2000u);
}

// A child must not continue from the pool it inherited: it would repeat the parent's next UUIDs.
TEST(Uuid, ForkedChildDoesNotRepeatTheParentsIdentifiers) {
  (void)Uuid::new_v4();  // the pool now holds 15 unused identifiers
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    char out[36 * 4];
    for (int i = 0; i < 4; ++i) Uuid::new_v4().write_hyphenated(out + 36 * i);
    const bool ok = ::write(fds[1], out, sizeof out) == static_cast<ssize_t>(sizeof out);
    ::_exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  std::string child(36 * 4, '\0');
  std::size_t got = 0;
  while (got < child.size()) {
    const ssize_t n = ::read(fds[0], child.data() + got, child.size() - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::set<std::string> parent;
  for (int i = 0; i < 4; ++i) parent.insert(Uuid::new_v4().to_string());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(parent.count(child.substr(36 * i, 36)), 0u) << child;
}

// After a fork both processes refill their pools; the generator behind the pools must not hand
// them the same bytes either. Each side draws two pools' worth, so each refills at least once.
TEST(Uuid, ForkedChildAndParentRefillWithDifferentBytes) {
  constexpr int kDraws = 512;
  (void)Uuid::new_v4();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    std::string out(36 * kDraws, '\0');
    for (int i = 0; i < kDraws; ++i) Uuid::new_v4().write_hyphenated(out.data() + 36 * i);
    std::size_t sent = 0;
    while (sent < out.size()) {
      const ssize_t n = ::write(fds[1], out.data() + sent, out.size() - sent);
      if (n <= 0) ::_exit(1);
      sent += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::set<std::string> parent;
  for (int i = 0; i < kDraws; ++i) parent.insert(Uuid::new_v4().to_string());
  std::string child(36 * kDraws, '\0');
  std::size_t got = 0;
  while (got < child.size()) {
    const ssize_t n = ::read(fds[0], child.data() + got, child.size() - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(parent.size(), static_cast<std::size_t>(kDraws));
  for (int i = 0; i < kDraws; ++i) EXPECT_EQ(parent.count(child.substr(36 * i, 36)), 0u) << i;
}

TEST(Uuid, ParsesEveryStandardFormToTheSameValue) {
  const std::string canonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  for (const char* text : {
           "67e55044-10b1-426f-9247-bb680e5fe0c8",
           "67E55044-10B1-426F-9247-BB680E5FE0C8",
           "67e5504410b1426f9247bb680e5fe0c8",
           "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
           "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
           "URN:UUID:67e55044-10B1-426f-9247-bb680e5fe0c8",
       }) {
    auto u = Uuid::parse(text);
    ASSERT_TRUE(u) << text << ": " << u.error().display();
    EXPECT_EQ(u->to_string(), canonical) << text;
  }
  auto u = Uuid::parse(canonical);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->bytes[0], 0x67);
  EXPECT_EQ(u->bytes[15], 0xc8);
}

TEST(Uuid, RejectsMalformedTextWithAMessageSayingWhy) {
  struct Case {
    const char* text;
    UuidError::Kind kind;
    const char* message;
  };
  const Case cases[] = {
      {"", UuidError::Kind::InvalidLength,
       "invalid length: expected 32 hex digits, optionally as 8-4-4-4-12 groups, braced or after "
       "`urn:uuid:`, found 0 characters"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c", UuidError::Kind::InvalidLength, nullptr},
      {"67e55044-10b1-426f-9247-bb680e5fe0c8a", UuidError::Kind::InvalidLength, nullptr},
      {"67e55044-10b1-426f-9247-bb680e5fe0cg", UuidError::Kind::InvalidCharacter,
       "invalid character: expected a hex digit, found `g` at position 36"},
      {"67e5504410b1-426f-9247-bb680e5fe0c8-", UuidError::Kind::InvalidGroups,
       "invalid group layout: expected groups of 8-4-4-4-12 hex digits separated by `-`, found `1` at "
       "position 9"},
      {"67e55044_10b1_426f_9247_bb680e5fe0c8", UuidError::Kind::InvalidCharacter,
       "invalid character: expected `-`, found `_` at position 9"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c\xc3", UuidError::Kind::InvalidCharacter,
       "invalid character: expected a hex digit, found byte 0xc3 at position 36"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8)", UuidError::Kind::InvalidCharacter, nullptr},
      {"{67e5504410b1426f9247bb680e5fe0c8}", UuidError::Kind::InvalidLength, nullptr},
      {"urn:uuid:67e5504410b1426f9247bb680e5fe0c8", UuidError::Kind::InvalidLength, nullptr},
      {" 67e55044-10b1-426f-9247-bb680e5fe0c8", UuidError::Kind::InvalidLength, nullptr},
      {"+7e5504410b1426f9247bb680e5fe0c8", UuidError::Kind::InvalidCharacter, nullptr},
  };
  for (const auto& c : cases) {
    auto u = Uuid::parse(c.text);
    ASSERT_FALSE(u) << c.text;
    EXPECT_FALSE(Uuid::try_parse(c.text)) << c.text;
    EXPECT_EQ(u.error().kind, c.kind) << c.text << ": " << u.error().display();
    if (c.message) {
      EXPECT_EQ(u.error().display(), c.message);
    }
  }
}

// Every accepted form of many values, each digit in lower, upper and mixed case, read back to
// the value it was written from.
TEST(Uuid, EveryFormReadsBackEveryValue) {
  std::vector<Uuid> values;
  for (int i = 0; i < 64; ++i) values.push_back(Uuid::new_v4());
  Uuid all_nibbles;  // 0x01, 0x23, ..., 0xef: each hex digit in each half of a byte somewhere
  for (std::size_t i = 0; i < 16; ++i) all_nibbles.bytes[i] = static_cast<std::uint8_t>(i * 0x12 + 0x01);
  values.push_back(all_nibbles);
  values.push_back(Uuid{});
  Uuid ones;
  ones.bytes.fill(0xff);
  values.push_back(ones);

  auto upper = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  auto mixed = [](std::string s) {
    for (std::size_t i = 0; i < s.size(); i += 2)
      s[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
    return s;
  };
  for (const Uuid& u : values) {
    const std::string grouped = u.to_string();
    std::string plain;
    for (char c : grouped) {
      if (c != '-') plain += c;
    }
    for (const std::string& digits :
         {grouped, upper(grouped), mixed(grouped), plain, upper(plain), mixed(plain)}) {
      std::vector<std::string> forms{digits};
      if (digits.size() == 36) {
        forms.push_back("{" + digits + "}");
        forms.push_back("urn:uuid:" + digits);
        forms.push_back("URN:uuid:" + digits);
        forms.push_back("uRn:UuId:" + digits);
      }
      for (const std::string& text : forms) {
        auto parsed = Uuid::parse(text);
        ASSERT_TRUE(parsed) << text << ": " << parsed.error().display();
        EXPECT_EQ(*parsed, u) << text;
        EXPECT_EQ(Uuid::try_parse(text), u) << text;
      }
    }
  }
}

// Reads only the text it is given: a valid UUID followed by more characters outside the view.
TEST(Uuid, ReadsOnlyTheGivenView) {
  const std::string buffer = "67e55044-10b1-426f-9247-bb680e5fe0c8-ffff";
  auto u = Uuid::parse(std::string_view(buffer).substr(0, 36));
  ASSERT_TRUE(u);
  EXPECT_EQ(u->to_string(), buffer.substr(0, 36));
  EXPECT_FALSE(Uuid::parse(std::string_view(buffer).substr(0, 35)));
  EXPECT_FALSE(Uuid::parse(std::string_view(buffer).substr(1, 36)));
}

// One wrong character at every position of every form, including the bytes either side of each
// range of hex digits: never accepted, and the message names the character and its position.
TEST(Uuid, RejectsEveryWrongCharacterAtEveryPosition) {
  const std::string digits = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  std::string plain;
  for (char c : digits) {
    if (c != '-') plain += c;
  }
  struct Form {
    std::string prefix, body, suffix;
  };
  const Form forms[] = {{"", digits, ""}, {"", plain, ""}, {"{", digits, "}"}, {"urn:uuid:", digits, ""}};
  const std::string not_hex = std::string("/:@G`g -_{}\x7f\x80\xff") + '\0';
  auto where = [](char c, std::size_t position) {
    const auto b = static_cast<unsigned char>(c);
    std::string shown;
    if (b >= 0x20 && b < 0x7f) {
      shown = std::string("`") + c + "`";
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      shown = std::string("byte 0x") + hex[b >> 4] + hex[b & 0xf];
    }
    return shown + " at position " + std::to_string(position);
  };
  for (const Form& f : forms) {
    const bool grouped = f.body.size() == 36;
    for (std::size_t i = 0; i < f.body.size(); ++i) {
      const bool hyphen_place = grouped && (i == 8 || i == 13 || i == 18 || i == 23);
      const std::size_t position = f.prefix.size() + i + 1;
      for (char c : hyphen_place ? std::string("a0F_:/\xff") + '\0' : not_hex) {
        std::string body = f.body;
        body[i] = c;
        const std::string text = f.prefix + body + f.suffix;
        auto u = Uuid::parse(text);
        ASSERT_FALSE(u) << text;
        EXPECT_FALSE(Uuid::try_parse(text)) << text;
        std::string expected;
        if (hyphen_place) {
          const bool hex = std::isxdigit(static_cast<unsigned char>(c)) != 0;
          expected =
              hex ? "invalid group layout: expected groups of 8-4-4-4-12 hex digits separated by `-`, found "
                  : "invalid character: expected `-`, found ";
        } else if (c == '-') {
          expected =
              "invalid group layout: expected groups of 8-4-4-4-12 hex digits separated by `-`, found ";
        } else if (c == '{' && i == 0 && f.prefix.empty()) {
          // An opening brace announces the braced form, whose length is checked first.
          EXPECT_EQ(u.error().display(),
                    "invalid length: expected 38 characters for the braced form, found " +
                        std::to_string(text.size()))
              << text;
          continue;
        } else {
          expected = "invalid character: expected a hex digit, found ";
        }
        EXPECT_EQ(u.error().display(), expected + where(c, position)) << text;
      }
    }
  }
}

// Every byte value at every position of the grouped and the plain form: accepted exactly when
// it is a hex digit where a digit belongs (or the hyphen where one belongs), and then read as
// that digit's value.
TEST(Uuid, EveryByteAtEveryPosition) {
  const std::string grouped = "00000000-0000-0000-0000-000000000000";
  const std::string plain(32, '0');
  for (const std::string& form : {grouped, plain}) {
    for (std::size_t i = 0; i < form.size(); ++i) {
      for (int b = 0; b < 256; ++b) {
        std::string text = form;
        text[i] = static_cast<char>(b);
        auto u = Uuid::parse(text);
        EXPECT_EQ(Uuid::try_parse(text).has_value(), u.has_value()) << i << " " << b;
        const char c = static_cast<char>(b);
        int value = -1;
        if (c >= '0' && c <= '9') value = c - '0';
        if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        if (form[i] == '-') {
          EXPECT_EQ(u.has_value(), c == '-') << i << " " << b;
          continue;
        }
        ASSERT_EQ(u.has_value(), value >= 0) << i << " " << b;
        if (!u) continue;
        const std::size_t digit = form.size() == 36 ? i - (i > 8) - (i > 13) - (i > 18) - (i > 23) : i;
        Uuid expected;
        expected.bytes[digit / 2] = static_cast<std::uint8_t>(digit % 2 == 0 ? value << 4 : value);
        EXPECT_EQ(*u, expected) << text;
      }
    }
  }
}

TEST(Uuid, WritesLowercaseHyphenatedForm) {
  Uuid u;
  for (std::size_t i = 0; i < 16; ++i) u.bytes[i] = static_cast<std::uint8_t>(0xf0 + i);
  EXPECT_EQ(u.to_string(), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
  char buf[37];
  buf[36] = 'X';
  u.write_hyphenated(buf);
  EXPECT_EQ(std::string_view(buf, 36), u.to_string());
  EXPECT_EQ(buf[36], 'X');
  EXPECT_EQ(Uuid{}.to_string(), "00000000-0000-0000-0000-000000000000");
}

}  // namespace
}  // namespace ostrel::common
