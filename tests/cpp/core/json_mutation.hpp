#pragma once
// Deterministic mutations of JSON documents, for runs that feed record readers malformed input.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace ostrel::testing {

class JsonMutator {
 public:
  explicit JsonMutator(std::uint64_t seed) : rng_(seed) {}

  // One to four edits: byte flips, insertions of structural or awkward tokens, deletions,
  // duplicated spans, truncation.
  std::string mutate(std::string_view seed) {
    std::string s(seed);
    const int edits = 1 + static_cast<int>(rng_() % 4);
    for (int i = 0; i < edits; ++i) edit(s);
    return s;
  }

 private:
  static constexpr std::string_view kTokens[] = {
      "\"", "{", "}", "[", "]", ",", ":", "\\", "\\u", "\\ud800", "1e999", "-", "0", "01", "null", "true",
      "18446744073709551616", "-9223372036854775809", "1.5", "\xff", "\xc3", "\xed\xa0\x80", "\x01", " ",
      "\"session_id\":\"x\"", "\"target\":{}", "[[[[[[[[[[", "}}}}", "\"\":\"\"",
  };

  std::size_t pos(const std::string& s) { return s.empty() ? 0 : rng_() % (s.size() + 1); }

  void edit(std::string& s) {
    switch (rng_() % 6) {
      case 0:
        if (!s.empty()) s[rng_() % s.size()] = static_cast<char>(rng_());
        break;
      case 1: {
        const auto& t = kTokens[rng_() % std::size(kTokens)];
        s.insert(pos(s), t);
        break;
      }
      case 2:
        if (!s.empty()) {
          const std::size_t p = rng_() % s.size();
          s.erase(p, 1 + rng_() % std::min<std::size_t>(8, s.size() - p));
        }
        break;
      case 3:
        if (!s.empty()) {
          const std::size_t p = rng_() % s.size();
          const std::size_t n = 1 + rng_() % std::min<std::size_t>(24, s.size() - p);
          s.insert(pos(s), s.substr(p, n));
        }
        break;
      case 4:
        s.resize(pos(s));
        break;
      default:
        if (s.size() > 1) std::swap(s[rng_() % s.size()], s[rng_() % s.size()]);
        break;
    }
  }

  std::mt19937_64 rng_;
};

// Feeds `count` mutations of the seeds, taken in turn, to Record::from_json. A document it
// accepts must read back equal from its own to_json; one it refuses must say why. Some must be
// accepted, or the mutations never reached the record's own fields.
template <class Record>
void expect_survives_mutations(std::span<const std::string> seeds, std::uint64_t rng_seed, int count) {
  JsonMutator mutator(rng_seed);
  int accepted = 0;
  for (int i = 0; i < count; ++i) {
    const std::string text = mutator.mutate(seeds[static_cast<std::size_t>(i) % seeds.size()]);
    auto s = Record::from_json(text);
    if (s) {
      ++accepted;
      auto again = Record::from_json(s->to_json());
      ASSERT_TRUE(again) << text;
      EXPECT_EQ(*again, *s) << text;
    } else {
      EXPECT_FALSE(s.error().display().empty()) << text;
    }
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace ostrel::testing
