#pragma once
// Walking Wycheproof files (version 1 format): every test of every group, with the group at
// hand for its shared fields.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "crypto/vectors.hpp"

namespace ostrel::testing {

struct WycheproofCase {
  simdjson::dom::element group;
  simdjson::dom::element test;
  std::int64_t tc_id;
  std::string result;  // "valid", "invalid" or "acceptable"
  std::vector<std::string> flags;

  bool has_flag(std::string_view f) const {
    return std::find(flags.begin(), flags.end(), f) != flags.end();
  }
  std::string label() const { return "tcId " + std::to_string(tc_id) + " (" + result + ")"; }
};

// Calls `fn` for every test; returns how many there were so callers can check the count.
inline std::size_t for_each_wycheproof_case(const VectorFile& file,
                                            const std::function<void(const WycheproofCase&)>& fn) {
  simdjson::dom::array groups;
  if (file.root()["testGroups"].get(groups))
    throw std::runtime_error(file.path().string() + ": no testGroups");
  std::size_t n = 0;
  for (simdjson::dom::element group : groups) {
    simdjson::dom::array tests;
    if (group["tests"].get(tests)) throw std::runtime_error(file.path().string() + ": group without tests");
    for (simdjson::dom::element test : tests) {
      WycheproofCase c{group, test, int_field(test, "tcId"), string_field(test, "result"), {}};
      simdjson::dom::array flags;
      if (!test["flags"].get(flags)) {
        for (simdjson::dom::element f : flags) {
          std::string_view s;
          if (f.get(s)) throw std::runtime_error("non-string flag");
          c.flags.emplace_back(s);
        }
      }
      fn(c);
      ++n;
    }
  }
  return n;
}

// The wrappers promise to leave nothing on OpenSSL's thread-local error queue.
inline bool openssl_error_queue_empty() { return ERR_peek_error() == 0; }

}  // namespace ostrel::testing
