// ML-KEM-768 behaviour at its public boundary: sizes, round trips, tampering, the random
// source failing, and agreement with an independent implementation (pyca/cryptography).
#include "crypto/mlkem768/mlkem768.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "crypto/keccak.hpp"
#include "crypto/rng.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

namespace tv = ostrel::testing;
using tv::hex_field;
using tv::to_hex;
using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, std::uint8_t salt) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + salt);
  return b;
}

DecapsulationKey fixed_key(std::uint8_t salt = 7) {
  auto dk = DecapsulationKey::from_seed(pattern(kSeedBytes, salt));
  EXPECT_TRUE(dk);
  return std::move(*dk);
}

Bytes bytes_of(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// The implicit-rejection key J(z || c) computed independently of the decapsulation code.
Bytes rejection_key(const DecapsulationKey& dk, std::span<const std::uint8_t> c) {
  const auto z = dk.seed().span().subspan(32, 32);
  Shake256 j;
  j.absorb(z);
  j.absorb(c);
  Bytes k(32);
  j.squeeze(k);
  return k;
}

TEST(MlKem768, FixedSizesAreCheckedAtTheBoundary) {
  const auto dk = fixed_key();
  const auto ek = bytes_of(dk.encapsulation_key().bytes());
  const auto expanded = bytes_of(dk.expanded_bytes().span());
  const auto enc = dk.encapsulation_key().encapsulate();
  ASSERT_TRUE(enc);
  const auto c = bytes_of(enc->ciphertext);

  struct Case {
    const char* what;
    std::size_t size;
    std::function<std::optional<CryptoError>(const Bytes&)> run;
  };
  const auto err = [](const auto& r) -> std::optional<CryptoError> {
    if (r) return std::nullopt;
    return r.error();
  };
  const std::vector<Case> cases = {
      {"seed", kSeedBytes, [&](const Bytes& b) { return err(DecapsulationKey::from_seed(b)); }},
      {"encapsulation key", kEncapsulationKeyBytes,
       [&](const Bytes& b) { return err(EncapsulationKey::from_bytes(b)); }},
      {"expanded key", kDecapsulationKeyBytes,
       [&](const Bytes& b) { return err(DecapsulationKey::from_expanded(b)); }},
      {"ciphertext", kCiphertextBytes, [&](const Bytes& b) { return err(dk.decapsulate(b)); }},
  };
  const std::map<std::string, Bytes> valid = {{"seed", pattern(kSeedBytes, 7)},
                                              {"encapsulation key", ek},
                                              {"expanded key", expanded},
                                              {"ciphertext", c}};
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.what);
    const Bytes& good = valid.at(cs.what);
    ASSERT_EQ(good.size(), cs.size);
    EXPECT_FALSE(cs.run(good).has_value());
    Bytes shorter(good.begin(), good.end() - 1);
    Bytes longer = good;
    longer.push_back(0);
    Bytes empty;
    for (const Bytes* b : {&shorter, &longer, &empty}) {
      const auto e = cs.run(*b);
      ASSERT_TRUE(e.has_value()) << b->size();
      EXPECT_EQ(e->kind, CryptoError::Kind::InvalidLength);
      EXPECT_NE(e->display().find("expected " + std::to_string(cs.size) + " bytes, got " +
                                  std::to_string(b->size())),
                std::string::npos)
          << e->display();
    }
  }
}

TEST(MlKem768, RoundTripWithEveryKeyForm) {
  auto generated = DecapsulationKey::generate();
  ASSERT_TRUE(generated) << generated.error().display();
  ASSERT_EQ(generated->seed().size(), kSeedBytes);
  auto from_seed = DecapsulationKey::from_seed(generated->seed().span());
  ASSERT_TRUE(from_seed);
  auto from_expanded = DecapsulationKey::from_expanded(generated->expanded_bytes().span());
  ASSERT_TRUE(from_expanded);
  EXPECT_TRUE(from_expanded->seed().empty());
  EXPECT_EQ(bytes_of(from_seed->encapsulation_key().bytes()),
            bytes_of(generated->encapsulation_key().bytes()));
  EXPECT_EQ(bytes_of(from_expanded->expanded_bytes().span()), bytes_of(generated->expanded_bytes().span()));

  auto ek = EncapsulationKey::from_bytes(generated->encapsulation_key().bytes());
  ASSERT_TRUE(ek);
  for (int i = 0; i < 3; ++i) {
    auto enc = ek->encapsulate();
    ASSERT_TRUE(enc) << enc.error().display();
    ASSERT_EQ(enc->shared_secret.size(), kSharedSecretBytes);
    for (const DecapsulationKey* dk : {&*generated, &*from_seed, &*from_expanded}) {
      auto k = dk->decapsulate(enc->ciphertext);
      ASSERT_TRUE(k);
      EXPECT_EQ(bytes_of(k->span()), bytes_of(enc->shared_secret.span()));
    }
  }
  // A moved key keeps working.
  DecapsulationKey moved = std::move(*generated);
  auto enc = moved.encapsulation_key().encapsulate();
  ASSERT_TRUE(enc);
  EXPECT_EQ(bytes_of(moved.decapsulate(enc->ciphertext)->span()), bytes_of(enc->shared_secret.span()));
}

TEST(MlKem768, EncapsulationsAreFresh) {
  const auto dk = fixed_key();
  auto a = dk.encapsulation_key().encapsulate();
  auto b = dk.encapsulation_key().encapsulate();
  ASSERT_TRUE(a && b);
  EXPECT_NE(bytes_of(a->ciphertext), bytes_of(b->ciphertext));
  EXPECT_NE(bytes_of(a->shared_secret.span()), bytes_of(b->shared_secret.span()));
}

TEST(MlKem768, AlteredCiphertextGivesTheImplicitRejectionKey) {
  const auto dk = fixed_key();
  auto enc = dk.encapsulation_key().encapsulate();
  ASSERT_TRUE(enc);
  const Bytes genuine = bytes_of(enc->shared_secret.span());
  // Bits in the first and last bytes of u's encoding, inside v's, and the very last bit.
  for (std::size_t bit : {std::size_t{0}, std::size_t{7}, std::size_t{8 * 320 - 1}, std::size_t{8 * 960 + 3},
                          std::size_t{8 * kCiphertextBytes - 1}}) {
    SCOPED_TRACE("bit " + std::to_string(bit));
    Bytes c = bytes_of(enc->ciphertext);
    c[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto k = dk.decapsulate(c);
    ASSERT_TRUE(k);
    EXPECT_NE(bytes_of(k->span()), genuine);
    EXPECT_EQ(bytes_of(k->span()), rejection_key(dk, c));
  }
  // Another key holder gets its own rejection key, not the sender's secret.
  const auto other = fixed_key(99);
  auto k = other.decapsulate(enc->ciphertext);
  ASSERT_TRUE(k);
  EXPECT_EQ(bytes_of(k->span()), rejection_key(other, enc->ciphertext));
}

TEST(MlKem768, CorruptedKeysAreRejected) {
  const auto dk = fixed_key();
  // Expanded key whose stored H(ek) no longer matches (FIPS 203, section 7.3).
  Bytes expanded = bytes_of(dk.expanded_bytes().span());
  expanded[2 * 1152 + 32 + 5] ^= 1;
  auto bad_hash = DecapsulationKey::from_expanded(expanded);
  ASSERT_FALSE(bad_hash);
  EXPECT_EQ(bad_hash.error().kind, CryptoError::Kind::InvalidKey);

  // A coefficient of exactly q in the encapsulation key: 3329 = 0xD01 as the first 12 bits.
  Bytes ek = bytes_of(dk.encapsulation_key().bytes());
  ek[0] = 0x01;
  ek[1] = static_cast<std::uint8_t>((ek[1] & 0xF0) | 0x0D);
  auto unreduced = EncapsulationKey::from_bytes(ek);
  ASSERT_FALSE(unreduced);
  EXPECT_EQ(unreduced.error().kind, CryptoError::Kind::InvalidKey);
  // q - 1 is fine.
  ek[0] = 0x00;
  EXPECT_TRUE(EncapsulationKey::from_bytes(ek));

  // The same unreduced key inside an expanded key whose hash is made consistent with it.
  Bytes expanded2 = bytes_of(dk.expanded_bytes().span());
  ek[0] = 0x01;
  std::copy(ek.begin(), ek.end(), expanded2.begin() + 1152);
  sha3_256(ek, std::span<std::uint8_t, 32>(expanded2.data() + 2 * 1152 + 32, 32));
  auto embedded = DecapsulationKey::from_expanded(expanded2);
  ASSERT_FALSE(embedded);
  EXPECT_EQ(embedded.error().kind, CryptoError::Kind::InvalidKey);
}

// Random encapsulation keys are accepted exactly when every 12-bit value is below q, and random
// ciphertexts always decapsulate, to the rejection key.
TEST(MlKem768, RandomInputsAreJudgedByTheirContentAlone) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> byte(0, 255);
  const auto dk = fixed_key();
  int accepted = 0;
  for (int trial = 0; trial < 200; ++trial) {
    Bytes ek(kEncapsulationKeyBytes);
    for (auto& b : ek) b = static_cast<std::uint8_t>(byte(rng));
    // Most trials get small values so that both outcomes occur; a few keep one large value.
    bool reduced = true;
    for (std::size_t i = 0; i < 768; ++i) {
      const std::size_t lo = 3 * (i / 2);
      if (trial % 4 != 0) {
        if (i % 2 == 0)
          ek[lo + 1] &= 0xF7;  // keep values below 2^11 < q
        else
          ek[lo + 2] &= 0x7F;
      }
      const std::uint32_t v =
          i % 2 == 0 ? (ek[lo] | (ek[lo + 1] & 0x0F) << 8) : (ek[lo + 1] >> 4 | ek[lo + 2] << 4);
      reduced &= v < 3329;
    }
    auto parsed = EncapsulationKey::from_bytes(ek);
    ASSERT_EQ(parsed.has_value(), reduced) << trial;
    if (parsed) {
      ++accepted;
      EXPECT_EQ(bytes_of(parsed->bytes()), ek);
      EXPECT_TRUE(parsed->encapsulate());
    }
    Bytes c(kCiphertextBytes);
    for (auto& b : c) b = static_cast<std::uint8_t>(byte(rng));
    auto k = dk.decapsulate(c);
    ASSERT_TRUE(k);
    EXPECT_EQ(bytes_of(k->span()), rejection_key(dk, c));
  }
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, 200);
}

// ByteDecode_12 takes s_hat mod q, so an expanded key whose s_hat holds x + q in place of x
// (possible for x < 4096 - q) decapsulates exactly as the original.
TEST(MlKem768, UnreducedSecretCoefficientsDecodeModQ) {
  const auto dk = fixed_key();
  Bytes expanded = bytes_of(dk.expanded_bytes().span());
  int changed = 0;
  for (std::size_t i = 0; i < 2 * 1152 / 3; i += 2) {  // first coefficient of each 3-byte pair
    const std::size_t lo = 3 * (i / 2);
    const std::uint32_t v = expanded[lo] | (expanded[lo + 1] & 0x0F) << 8;
    if (v + 3329 < 4096 && lo + 2 < 1152) {
      const std::uint32_t w = v + 3329;
      expanded[lo] = static_cast<std::uint8_t>(w);
      expanded[lo + 1] = static_cast<std::uint8_t>((expanded[lo + 1] & 0xF0) | (w >> 8));
      ++changed;
    }
  }
  ASSERT_GT(changed, 10);
  auto altered = DecapsulationKey::from_expanded(expanded);
  ASSERT_TRUE(altered) << altered.error().display();
  for (int i = 0; i < 3; ++i) {
    auto enc = dk.encapsulation_key().encapsulate();
    ASSERT_TRUE(enc);
    EXPECT_EQ(bytes_of(altered->decapsulate(enc->ciphertext)->span()), bytes_of(enc->shared_secret.span()));
  }
  // Its canonical re-encoding is the original key.
  EXPECT_EQ(bytes_of(altered->expanded_bytes().span()), bytes_of(dk.expanded_bytes().span()));
}

TEST(MlKem768, RandomSourceFailureIsReportedForEveryDraw) {
  const auto dk = fixed_key();
  struct Op {
    const char* name;
    std::function<std::optional<CryptoError>()> run;
  };
  const std::vector<Op> ops = {
      {"generate",
       [] {
         auto r = DecapsulationKey::generate();
         return r ? std::nullopt : std::optional(r.error());
       }},
      {"encapsulate",
       [&] {
         auto r = dk.encapsulation_key().encapsulate();
         return r ? std::nullopt : std::optional(r.error());
       }},
  };
  for (const auto& op : ops) {
    SCOPED_TRACE(op.name);
    std::uint64_t draws = 0;
    {
      testing::RandomFailureScope count(0);
      ASSERT_FALSE(op.run().has_value());
      draws = count.draws();
    }
    ASSERT_GE(draws, 1u);
    for (std::uint64_t n = 1; n <= draws; ++n) {
      testing::RandomFailureScope fail(n);
      const auto e = op.run();
      ASSERT_TRUE(e.has_value()) << "draw " << n;
      EXPECT_EQ(e->kind, CryptoError::Kind::RandomSource);
      EXPECT_EQ(e->display().rfind("OS RNG failed: ", 0), 0u) << e->display();
    }
  }
}

// Their encapsulation keys and encapsulations, recorded by scripts/mlkem768_crosscheck.py.
TEST(MlKem768Interop, OpensWhatCryptographyRecorded) {
  const auto file =
      tv::VectorFile::load_path(tv::source_dir() / "tests/cpp/crypto/mlkem768_cryptography.json");
  int n = 0;
  for (auto c : file.cases()) {
    auto dk = DecapsulationKey::from_seed(hex_field(c, "seed"));
    ASSERT_TRUE(dk);
    EXPECT_EQ(to_hex(dk->encapsulation_key().bytes()), to_hex(hex_field(c, "ek")));
    for (auto e : c["encapsulations"].get_array()) {
      auto k = dk->decapsulate(hex_field(e, "c"));
      ASSERT_TRUE(k);
      EXPECT_EQ(to_hex(k->span()), to_hex(hex_field(e, "k")));
    }
    ++n;
  }
  EXPECT_EQ(n, 8);
}

// Both directions against the installed pyca/cryptography, live: it derives the same keys
// from our seeds and opens our encapsulations, and we open fresh ones of its making.
TEST(MlKem768Interop, AgreesWithCryptographyBothWays) {
  std::vector<DecapsulationKey> keys;
  std::string ours = "[";
  for (int i = 0; i < 6; ++i) {
    auto dk = DecapsulationKey::generate();
    ASSERT_TRUE(dk);
    auto enc = dk->encapsulation_key().encapsulate();
    ASSERT_TRUE(enc);
    ours += std::string(i ? "," : "") + "{\"seed\":\"" + to_hex(dk->seed().span()) + "\",\"ek\":\"" +
            to_hex(dk->encapsulation_key().bytes()) + "\",\"c\":\"" + to_hex(enc->ciphertext) +
            "\",\"k\":\"" + to_hex(enc->shared_secret.span()) + "\"}";
    keys.push_back(std::move(*dk));
  }
  ours += "]";

  const auto run = tv::run_script("mlkem768_crosscheck.py", "check", ours);
  ASSERT_EQ(run.status, 0) << "the cross-check needs Python with cryptography >= 48 (ML-KEM); it said:\n"
                           << run.err;

  simdjson::dom::parser parser;
  simdjson::dom::array theirs;
  ASSERT_EQ(parser.parse(run.out).get(theirs), simdjson::SUCCESS);
  std::size_t i = 0;
  for (auto e : theirs) {
    ASSERT_LT(i, keys.size());
    auto k = keys[i++].decapsulate(hex_field(e, "c"));
    ASSERT_TRUE(k);
    EXPECT_EQ(to_hex(k->span()), to_hex(hex_field(e, "k")));
  }
  EXPECT_EQ(i, keys.size());
}

}  // namespace
}  // namespace ostrel::crypto::mlkem768
