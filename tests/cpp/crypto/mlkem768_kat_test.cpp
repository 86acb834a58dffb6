// ML-KEM-768 against NIST's ACVP vectors and Project Wycheproof's (see the vector folder's
// README for their sources), every case of every file.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "crypto/mlkem768/mlkem768.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

using testing::bool_field;
using testing::has_field;
using testing::hex_field;
using testing::int_field;
using testing::string_field;
using testing::to_hex;
using testing::VectorFile;
using Bytes = std::vector<std::uint8_t>;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string hex(std::span<const std::uint8_t> b) { return to_hex(b); }

DecapsulationKey key_from_seed(const Bytes& seed) {
  auto dk = DecapsulationKey::from_seed(seed);
  if (!dk) throw std::runtime_error("from_seed failed: " + dk.error().display());
  return std::move(*dk);
}

TEST(MlKem768Acvp, KeyGenFromSeedGivesEkAndExpandedDk) {
  const auto file = VectorFile::load("mlkem768_keygen.json");
  int n = 0;
  for (auto c : file.cases()) {
    SCOPED_TRACE("tcId " + std::to_string(int_field(c, "tcId")));
    const auto dk = key_from_seed(concat(hex_field(c, "d"), hex_field(c, "z")));
    EXPECT_EQ(hex(dk.encapsulation_key().bytes()), to_hex(hex_field(c, "ek")));
    EXPECT_EQ(hex(dk.expanded_bytes().span()), to_hex(hex_field(c, "dk")));
    ++n;
  }
  EXPECT_EQ(n, 25);
}

TEST(MlKem768Acvp, EncapDecapFunctions) {
  const auto file = VectorFile::load("mlkem768_encapdecap.json");
  std::map<std::string, int> counts;
  for (auto c : file.cases()) {
    const auto function = string_field(c, "function");
    SCOPED_TRACE(function + " tcId " + std::to_string(int_field(c, "tcId")));
    ++counts[function];
    if (function == "encapsulation") {
      auto ek = EncapsulationKey::from_bytes(hex_field(c, "ek"));
      ASSERT_TRUE(ek) << ek.error().display();
      const auto m = hex_field(c, "m");
      ASSERT_EQ(m.size(), kMessageBytes);
      const auto enc =
          ek->encapsulate_internal(std::span<const std::uint8_t, kMessageBytes>(m.data(), kMessageBytes));
      EXPECT_EQ(hex(enc.ciphertext), to_hex(hex_field(c, "c")));
      EXPECT_EQ(hex(enc.shared_secret.span()), to_hex(hex_field(c, "k")));
      // The case's expanded key opens what was just made.
      auto dk = DecapsulationKey::from_expanded(hex_field(c, "dk"));
      ASSERT_TRUE(dk) << dk.error().display();
      auto k = dk->decapsulate(enc.ciphertext);
      ASSERT_TRUE(k);
      EXPECT_EQ(hex(k->span()), to_hex(hex_field(c, "k")));
    } else if (function == "decapsulation") {
      auto dk = DecapsulationKey::from_expanded(hex_field(c, "dk"));
      ASSERT_TRUE(dk) << dk.error().display();
      auto k = dk->decapsulate(hex_field(c, "c"));
      ASSERT_TRUE(k) << k.error().display();
      EXPECT_EQ(hex(k->span()), to_hex(hex_field(c, "k"))) << string_field(c, "reason");
    } else if (function == "decapsulationKeyCheck") {
      auto dk = DecapsulationKey::from_expanded(hex_field(c, "dk"));
      EXPECT_EQ(dk.has_value(), bool_field(c, "testPassed")) << string_field(c, "reason");
      if (!dk) {
        EXPECT_EQ(dk.error().kind, CryptoError::Kind::InvalidKey);
      }
    } else if (function == "encapsulationKeyCheck") {
      auto ek = EncapsulationKey::from_bytes(hex_field(c, "ek"));
      EXPECT_EQ(ek.has_value(), bool_field(c, "testPassed")) << string_field(c, "reason");
      if (!ek) {
        EXPECT_EQ(ek.error().kind, CryptoError::Kind::InvalidKey);
      }
    } else {
      ADD_FAILURE() << "unknown function " << function;
    }
  }
  EXPECT_EQ(counts, (std::map<std::string, int>{{"encapsulation", 17},
                                                {"decapsulation", 7},
                                                {"decapsulationKeyCheck", 6},
                                                {"encapsulationKeyCheck", 7}}));
}

TEST(MlKem768Acvp, DecapsulationFromSeed) {
  const auto file = VectorFile::load("mlkem768_decaps_seed.json");
  int n = 0;
  for (auto c : file.cases()) {
    SCOPED_TRACE("tcId " + std::to_string(int_field(c, "tcId")));
    const auto dk = key_from_seed(concat(hex_field(c, "d"), hex_field(c, "z")));
    auto k = dk.decapsulate(hex_field(c, "c"));
    ASSERT_TRUE(k) << k.error().display();
    EXPECT_EQ(hex(k->span()), to_hex(hex_field(c, "k")));
    ++n;
  }
  EXPECT_EQ(n, 7);
}

// Runs `check` on every test of a Wycheproof file and checks the declared test count.
template <class Check>
void for_each_wycheproof_test(const char* name, Check check) {
  const auto file = VectorFile::load(std::string("wycheproof/") + name);
  std::int64_t n = 0;
  for (auto group : file.root()["testGroups"].get_array()) {
    ASSERT_EQ(string_field(group, "parameterSet"), "ML-KEM-768");
    for (auto t : group["tests"].get_array()) {
      const auto result = string_field(t, "result");
      SCOPED_TRACE(std::string(name) + " tcId " + std::to_string(int_field(t, "tcId")) + " (" + result +
                   ") " + (has_field(t, "comment") ? string_field(t, "comment") : std::string()));
      // No case in these files is "acceptable"; one would need its own decision here.
      ASSERT_TRUE(result == "valid" || result == "invalid");
      check(t, result == "valid");
      ++n;
    }
  }
  EXPECT_EQ(n, int_field(file.root(), "numberOfTests"));
}

TEST(MlKem768Wycheproof, DecapsulationFromSeed) {
  for_each_wycheproof_test("mlkem_768_test.json", [](simdjson::dom::element t, bool valid) {
    const auto seed = hex_field(t, "seed");
    const auto c = hex_field(t, "c");
    auto dk = DecapsulationKey::from_seed(seed);
    if (!valid) {
      // The invalid cases here are seeds or ciphertexts of the wrong length.
      if (dk) {
        auto k = dk->decapsulate(c);
        ASSERT_FALSE(k);
        EXPECT_EQ(k.error().kind, CryptoError::Kind::InvalidLength);
        EXPECT_NE(c.size(), kCiphertextBytes);
      } else {
        EXPECT_EQ(dk.error().kind, CryptoError::Kind::InvalidLength);
        EXPECT_NE(seed.size(), kSeedBytes);
      }
      return;
    }
    ASSERT_TRUE(dk) << dk.error().display();
    EXPECT_EQ(hex(dk->encapsulation_key().bytes()), to_hex(hex_field(t, "ek")));
    auto k = dk->decapsulate(c);
    ASSERT_TRUE(k) << k.error().display();
    EXPECT_EQ(hex(k->span()), to_hex(hex_field(t, "K")));
  });
}

TEST(MlKem768Wycheproof, KeyGenFromSeed) {
  for_each_wycheproof_test("mlkem_768_keygen_seed_test.json", [](simdjson::dom::element t, bool valid) {
    ASSERT_TRUE(valid);
    const auto dk = key_from_seed(hex_field(t, "seed"));
    EXPECT_EQ(hex(dk.encapsulation_key().bytes()), to_hex(hex_field(t, "ek")));
    EXPECT_EQ(hex(dk.expanded_bytes().span()), to_hex(hex_field(t, "dk")));
  });
}

TEST(MlKem768Wycheproof, Encapsulation) {
  for_each_wycheproof_test("mlkem_768_encaps_test.json", [](simdjson::dom::element t, bool valid) {
    const auto ek_bytes = hex_field(t, "ek");
    auto ek = EncapsulationKey::from_bytes(ek_bytes);
    if (!valid) {
      // Keys of the wrong length, or with a coefficient of q or more (section 7.2).
      ASSERT_FALSE(ek);
      EXPECT_EQ(ek.error().kind, ek_bytes.size() == kEncapsulationKeyBytes
                                     ? CryptoError::Kind::InvalidKey
                                     : CryptoError::Kind::InvalidLength);
      return;
    }
    ASSERT_TRUE(ek) << ek.error().display();
    const auto m = hex_field(t, "m");
    ASSERT_EQ(m.size(), kMessageBytes);
    const auto enc =
        ek->encapsulate_internal(std::span<const std::uint8_t, kMessageBytes>(m.data(), kMessageBytes));
    EXPECT_EQ(hex(enc.ciphertext), to_hex(hex_field(t, "c")));
    EXPECT_EQ(hex(enc.shared_secret.span()), to_hex(hex_field(t, "K")));
  });
}

}  // namespace
}  // namespace ostrel::crypto::mlkem768
