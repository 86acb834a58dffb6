// ML-DSA-65 through its public interface: the size checks at the boundary, contexts,
// tampering, determinism, random-source failure, forged expanded keys, concurrent use, and
// agreement with pyca/cryptography in both directions.
#include "crypto/mldsa65/mldsa65.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "crypto/rng.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

namespace tv = ostrel::testing;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes seed_of(std::uint8_t b) { return Bytes(kMlDsa65SeedBytes, b); }

MlDsa65PrivateKey key_from(std::uint8_t b) {
  auto k = MlDsa65PrivateKey::from_seed(seed_of(b));
  EXPECT_TRUE(k.has_value());
  return std::move(*k);
}

// Every fixed-size input, one byte short, exact and one byte long.
TEST(MlDsa65, FixedSizeInputsAreCheckedAtTheBoundary) {
  const auto key = key_from(1);
  const auto sig = key.sign_deterministic(bytes_of("m"));
  ASSERT_TRUE(sig.has_value());
  const Bytes msg = bytes_of("m");

  struct Input {
    const char* name;
    std::size_t size;
    std::function<common::Result<void, CryptoError>(const Bytes&)> use;
  };
  const Bytes zeros32(32, 0), mu(64, 3);
  const Input inputs[] = {
      {"seed", kMlDsa65SeedBytes,
       [](const Bytes& b) -> common::Result<void, CryptoError> {
         auto k = MlDsa65PrivateKey::from_seed(b);
         if (!k) return common::fail(k.error());
         return {};
       }},
      {"public key", kMlDsa65PublicKeyBytes,
       [](const Bytes& b) -> common::Result<void, CryptoError> {
         auto k = MlDsa65PublicKey::from_bytes(b);
         if (!k) return common::fail(k.error());
         return {};
       }},
      {"signature", kMlDsa65SignatureBytes,
       [&](const Bytes& b) -> common::Result<void, CryptoError> {
         // Pad the real signature, or cut it, so the exact size verifies.
         Bytes s(sig->begin(), sig->end());
         s.resize(b.size());
         return key.public_key().verify(msg, s);
       }},
      {"mu (verify)", kMlDsa65MuBytes,
       [&](const Bytes& b) -> common::Result<void, CryptoError> {
         auto s = key.sign_mu(Bytes(64, 0), zeros32);
         if (!s) return common::fail(s.error());
         // Only the length matters for this row: a 64-byte mu of zeros verifies.
         return key.public_key().verify_mu(Bytes(b.size(), 0), *s);
       }},
      {"mu (sign)", kMlDsa65MuBytes,
       [&](const Bytes& b) -> common::Result<void, CryptoError> {
         auto s = key.sign_mu(b, zeros32);
         if (!s) return common::fail(s.error());
         return {};
       }},
      {"rnd (sign_mu)", kMlDsa65RndBytes,
       [&](const Bytes& b) -> common::Result<void, CryptoError> {
         auto s = key.sign_mu(mu, b);
         if (!s) return common::fail(s.error());
         return {};
       }},
      {"rnd (sign_internal)", kMlDsa65RndBytes,
       [&](const Bytes& b) -> common::Result<void, CryptoError> {
         auto s = key.sign_internal(msg, b);
         if (!s) return common::fail(s.error());
         return {};
       }},
  };
  for (const Input& in : inputs) {
    for (std::size_t size : {in.size - 1, in.size, in.size + 1}) {
      SCOPED_TRACE(std::string(in.name) + " of " + std::to_string(size) + " bytes");
      const auto r = in.use(Bytes(size, 0));
      if (size == in.size) {
        EXPECT_TRUE(r.has_value()) << r.error().display();
      } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, CryptoError::Kind::InvalidLength);
        EXPECT_NE(r.error().display().find("must be " + std::to_string(in.size) + " bytes, got " +
                                           std::to_string(size)),
                  std::string::npos)
            << r.error().display();
      }
    }
  }
  for (std::size_t size : {kMlDsa65SecretKeyBytes - 1, kMlDsa65SecretKeyBytes + 1}) {
    auto k = MlDsa65PrivateKey::from_expanded(Bytes(size, 0));
    ASSERT_FALSE(k.has_value());
    EXPECT_EQ(k.error().kind, CryptoError::Kind::InvalidLength);
  }
}

TEST(MlDsa65, ContextUpTo255BytesIsAcceptedAndLongerRefused) {
  const auto key = key_from(2);
  const Bytes msg = bytes_of("context bound");
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{255}}) {
    const Bytes ctx(len, 0xC7);
    auto det = key.sign_deterministic(msg, ctx);
    ASSERT_TRUE(det.has_value()) << len;
    EXPECT_TRUE(key.public_key().verify(msg, *det, ctx).has_value()) << len;
    auto hedged = key.sign_hedged(msg, ctx);
    ASSERT_TRUE(hedged.has_value()) << len;
    EXPECT_TRUE(key.public_key().verify(msg, *hedged, ctx).has_value()) << len;
  }
  const Bytes too_long(256, 0xC7);
  const std::string text = "invalid length: ML-DSA-65 context must be at most 255 bytes, got 256";
  auto det = key.sign_deterministic(msg, too_long);
  ASSERT_FALSE(det.has_value());
  EXPECT_EQ(det.error().display(), text);
  auto hedged = key.sign_hedged(msg, too_long);
  ASSERT_FALSE(hedged.has_value());
  EXPECT_EQ(hedged.error().display(), text);
  auto sig = key.sign_deterministic(msg);
  ASSERT_TRUE(sig.has_value());
  auto v = key.public_key().verify(msg, *sig, too_long);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().display(), text);
}

// One bit changed anywhere (signature, message, context, public key) and verification fails.
TEST(MlDsa65, TamperingIsDetected) {
  const auto key = key_from(3);
  const Bytes msg = bytes_of("an audit entry"), ctx = bytes_of("ctx");
  auto sig = key.sign_deterministic(msg, ctx);
  ASSERT_TRUE(sig.has_value());
  const auto& pk = key.public_key();
  ASSERT_TRUE(pk.verify(msg, *sig, ctx).has_value());

  const auto expect_refused = [](const common::Result<void, CryptoError>& r, const std::string& what) {
    ASSERT_FALSE(r.has_value()) << what;
    EXPECT_TRUE(r.error().kind == CryptoError::Kind::VerificationFailed ||
                r.error().kind == CryptoError::Kind::InvalidEncoding)
        << what << ": " << r.error().display();
  };
  // Bits in c~, in the first and last z coefficients, in the hint indices and counts.
  for (std::size_t bit :
       {0ul, 47 * 8 + 7ul, 48 * 8ul, 3247 * 8 + 3ul, 3248 * 8ul, 3308 * 8 + 1ul, 3303 * 8ul}) {
    auto s = *sig;
    s[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(pk.verify(msg, s, ctx), "signature bit " + std::to_string(bit));
  }
  for (std::size_t bit : {0ul, msg.size() * 8 - 1}) {
    auto m = msg;
    m[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(pk.verify(m, *sig, ctx), "message bit " + std::to_string(bit));
  }
  expect_refused(pk.verify(msg, *sig), "empty context");
  expect_refused(pk.verify(msg, *sig, bytes_of("ctX")), "other context");
  expect_refused(pk.verify_internal(msg, *sig), "internal interface");
  for (std::size_t bit : {0ul, 32 * 8ul, 1951 * 8 + 7ul}) {
    auto b = pk.bytes();
    b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto other = MlDsa65PublicKey::from_bytes(b);
    ASSERT_TRUE(other.has_value());
    expect_refused(other->verify(msg, *sig, ctx), "public key bit " + std::to_string(bit));
  }
  // A malformed hint is told apart from a signature that merely does not verify.
  auto s = *sig;
  s[kMlDsa65SignatureBytes - 1] = 56;  // last row's running count beyond omega = 55
  auto r = pk.verify(msg, s, ctx);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, CryptoError::Kind::InvalidEncoding);
}

TEST(MlDsa65, DeterministicSigningRepeatsAndHedgedSigningDoesNot) {
  const auto key = key_from(4);
  const Bytes msg = bytes_of("token");
  auto a = key.sign_deterministic(msg), b = key.sign_deterministic(msg);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  // The deterministic variant is Sign_internal with rnd = 0^32 over M' = 0 || 0 || M.
  Bytes m_prime{0, 0};
  m_prime.insert(m_prime.end(), msg.begin(), msg.end());
  auto c = key.sign_internal(m_prime, Bytes(32, 0));
  ASSERT_TRUE(c);
  EXPECT_EQ(*a, *c);

  auto h1 = key.sign_hedged(msg), h2 = key.sign_hedged(msg);
  ASSERT_TRUE(h1 && h2);
  EXPECT_NE(*h1, *h2);
  EXPECT_NE(*h1, *a);
  EXPECT_TRUE(key.public_key().verify(msg, *h1).has_value());
  EXPECT_TRUE(key.public_key().verify(msg, *h2).has_value());
  // Empty messages are ordinary messages.
  auto e = key.sign_deterministic({});
  ASSERT_TRUE(e);
  EXPECT_TRUE(key.public_key().verify({}, *e).has_value());
}

// Every random draw of generate() and sign_hedged() made to fail in turn: each failure comes
// back as RandomSource with the OS text, and nothing is returned.
TEST(MlDsa65, RandomSourceFailureIsReportedAtEveryDraw) {
  const auto key = key_from(5);
  const Bytes msg = bytes_of("m");
  struct Operation {
    const char* name;
    std::function<common::Result<void, CryptoError>()> run;
  };
  const Operation ops[] = {
      {"generate",
       []() -> common::Result<void, CryptoError> {
         auto k = MlDsa65PrivateKey::generate();
         if (!k) return common::fail(k.error());
         return {};
       }},
      {"sign_hedged",
       [&]() -> common::Result<void, CryptoError> {
         auto s = key.sign_hedged(msg);
         if (!s) return common::fail(s.error());
         return {};
       }},
  };
  for (const Operation& op : ops) {
    std::uint64_t draws = 0;
    {
      testing::RandomFailureScope count_only(0);
      ASSERT_TRUE(op.run().has_value()) << op.name;
      draws = count_only.draws();
    }
    ASSERT_GE(draws, 1u) << op.name;
    for (std::uint64_t n = 1; n <= draws; ++n) {
      testing::RandomFailureScope fail(n);
      const auto r = op.run();
      ASSERT_FALSE(r.has_value()) << op.name << " draw " << n;
      EXPECT_EQ(r.error().kind, CryptoError::Kind::RandomSource);
      EXPECT_EQ(r.error().display(), "OS RNG failed: " + r.error().detail);
      EXPECT_FALSE(r.error().detail.empty());
    }
  }
  // Deterministic signing draws nothing.
  testing::RandomFailureScope fail_first(1);
  EXPECT_TRUE(key.sign_deterministic(msg).has_value());
  EXPECT_EQ(fail_first.draws(), 0u);
}

TEST(MlDsa65, GeneratedKeysAreFreshAndWork) {
  auto a = MlDsa65PrivateKey::generate(), b = MlDsa65PrivateKey::generate();
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->seed() && b->seed());
  EXPECT_NE(tv::to_hex(*a->seed()), tv::to_hex(*b->seed()));
  EXPECT_NE(a->public_key().bytes(), b->public_key().bytes());
  auto again = MlDsa65PrivateKey::from_seed(*a->seed());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->public_key().bytes(), a->public_key().bytes());
  auto s = a->sign_deterministic(bytes_of("x"));
  ASSERT_TRUE(s);
  EXPECT_TRUE(a->public_key().verify(bytes_of("x"), *s).has_value());
  EXPECT_FALSE(b->public_key().verify(bytes_of("x"), *s).has_value());
}

// An expanded key that key generation cannot produce is refused rather than signed with.
TEST(MlDsa65, ForgedExpandedKeysAreRefused) {
  auto file = tv::VectorFile::load("mldsa65_keygen.json");
  const Bytes sk = tv::hex_field(*file.cases().begin(), "sk");
  ASSERT_TRUE(MlDsa65PrivateKey::from_expanded(sk).has_value());
  constexpr std::size_t kS1 = 32 + 32 + 64, kT0 = kS1 + 11 * 128;
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t xor_mask;
    bool accepted;
  };
  const Case cases[] = {
      {"rho changed", 0, 0x01, false},  // A, hence t, no longer matches t0
      {"K changed", 32, 0x01, true},    // K only seeds the signing randomness
      {"tr changed", 64, 0x80, false},
      {"s1 coefficient changed", kS1, 0x01, false},
      {"s1 nibble out of range", kS1, 0xF0, false},  // unless the nibble already was 0xF
      {"s2 coefficient changed", kT0 - 1, 0x10, false},
      {"t0 coefficient changed", kT0, 0x01, false},
      {"last t0 bit changed", kMlDsa65SecretKeyBytes - 1, 0x80, false},
  };
  for (const Case& c : cases) {
    Bytes forged = sk;
    forged[c.offset] ^= c.xor_mask;
    if (c.xor_mask == 0xF0) forged[c.offset] |= 0xF0;
    auto k = MlDsa65PrivateKey::from_expanded(forged);
    EXPECT_EQ(k.has_value(), c.accepted) << c.what;
    if (!k) {
      EXPECT_EQ(k.error().kind, CryptoError::Kind::InvalidKey) << c.what;
    }
  }
}

TEST(MlDsa65, OneKeySignsAndVerifiesFromManyThreads) {
  const auto key = key_from(6);
  const auto reference = key.sign_deterministic(bytes_of("shared"));
  ASSERT_TRUE(reference);
  std::vector<int> ok(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        auto s = key.sign_deterministic(bytes_of("shared"));
        if (s && *s == *reference && key.public_key().verify(bytes_of("shared"), *s)) ++ok[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(ok[t], 8) << t;
  // Copies of a public key share its expanded state and outlive the private key.
  std::optional<MlDsa65PublicKey> copy;
  {
    auto k = key_from(7);
    copy = k.public_key();
    auto s = k.sign_deterministic(bytes_of("later"));
    ASSERT_TRUE(s);
    EXPECT_TRUE(copy->verify(bytes_of("later"), *s).has_value());
  }
}

// Their keys and signatures, recorded by scripts/mldsa65_crosscheck.py.
TEST(MlDsa65Interop, VerifiesWhatCryptographyRecorded) {
  const auto file =
      tv::VectorFile::load_path(tv::source_dir() / "tests/cpp/crypto/mldsa65_cryptography.json");
  int keys = 0, sigs = 0;
  for (auto c : file.cases()) {
    auto key = MlDsa65PrivateKey::from_seed(tv::hex_field(c, "seed"));
    ASSERT_TRUE(key);
    EXPECT_EQ(tv::to_hex(key->public_key().bytes()), tv::to_hex(tv::hex_field(c, "pk")));
    for (auto e : c["signatures"].get_array()) {
      const Bytes msg = tv::hex_field(e, "message"), ctx = tv::hex_field(e, "context");
      const Bytes sig = tv::hex_field(e, "signature");
      auto r = key->public_key().verify(msg, sig, ctx);
      EXPECT_TRUE(r.has_value()) << r.error().display();
      Bytes other = ctx;
      other.push_back(0);
      EXPECT_FALSE(key->public_key().verify(msg, sig, other).has_value());
      ++sigs;
    }
    ++keys;
  }
  EXPECT_EQ(keys, 4);
  EXPECT_EQ(sigs, 24);
}

// Both directions against the installed pyca/cryptography, live: it derives the same public
// keys from our seeds and accepts our signatures, and we accept fresh ones of its making.
TEST(MlDsa65Interop, AgreesWithCryptographyBothWays) {
  struct Case {
    MlDsa65PrivateKey key;
    Bytes msg, ctx;
  };
  std::vector<Case> cases;
  std::string ours = "[";
  const std::pair<std::size_t, std::size_t> shapes[] = {{0, 0},      {1, 0},  {100, 9},
                                                        {4096, 255}, {33, 0}, {7, 1}};
  for (std::size_t i = 0; i < std::size(shapes); ++i) {
    auto key = MlDsa65PrivateKey::generate();
    ASSERT_TRUE(key);
    Bytes msg(shapes[i].first), ctx(shapes[i].second);
    for (std::size_t j = 0; j < msg.size(); ++j) msg[j] = static_cast<std::uint8_t>(j * 7 + i);
    for (std::size_t j = 0; j < ctx.size(); ++j) ctx[j] = static_cast<std::uint8_t>(j + 3 * i);
    // Half deterministic (as the system signs), half hedged.
    auto sig = i % 2 == 0 ? key->sign_deterministic(msg, ctx) : key->sign_hedged(msg, ctx);
    ASSERT_TRUE(sig);
    ours += std::string(i ? "," : "") + "{\"seed\":\"" + tv::to_hex(*key->seed()) + "\",\"pk\":\"" +
            tv::to_hex(key->public_key().bytes()) + "\",\"message\":\"" + tv::to_hex(msg) +
            "\",\"context\":\"" + tv::to_hex(ctx) + "\",\"signature\":\"" + tv::to_hex(*sig) + "\"}";
    cases.push_back({std::move(*key), std::move(msg), std::move(ctx)});
  }
  ours += "]";

  const auto run = tv::run_script("mldsa65_crosscheck.py", "check", ours);
  ASSERT_EQ(run.status, 0) << "the cross-check needs Python with cryptography >= 48 (ML-DSA); it said:\n"
                           << run.err;

  simdjson::dom::parser parser;
  simdjson::dom::array theirs;
  ASSERT_EQ(parser.parse(run.out).get(theirs), simdjson::SUCCESS);
  std::size_t i = 0;
  for (auto e : theirs) {
    ASSERT_LT(i, cases.size());
    const Case& c = cases[i++];
    auto r = c.key.public_key().verify(c.msg, tv::hex_field(e, "signature"), c.ctx);
    EXPECT_TRUE(r.has_value()) << "case " << i - 1 << ": " << r.error().display();
  }
  EXPECT_EQ(i, cases.size());
}

}  // namespace
}  // namespace ostrel::crypto
