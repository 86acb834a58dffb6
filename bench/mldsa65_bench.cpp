// ML-DSA-65 micro benchmarks. bench/mldsa65_bench.py runs this program and sets its figures
// beside those of other implementations measured in the same run.
//
// Signing time depends on the number of rejected candidates, which depends on the message, so
// the signing benchmarks cycle through kMessages messages and report the mean.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/mldsa65/mldsa65.hpp"

namespace {

using ostrel::crypto::MlDsa65PrivateKey;
using ostrel::crypto::MlDsa65PublicKey;
using ostrel::crypto::MlDsa65Signature;

constexpr std::size_t kMessages = 64;
constexpr std::size_t kMessageBytes = 128;  // about a permit token's canonical bytes

std::array<std::uint8_t, 32> seed_bytes() {
  std::array<std::uint8_t, 32> s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return s;
}

const MlDsa65PrivateKey& fixed_key() {
  static const MlDsa65PrivateKey key = [] {
    auto k = MlDsa65PrivateKey::from_seed(seed_bytes());
    if (!k) std::abort();
    return std::move(*k);
  }();
  return key;
}

const std::vector<std::vector<std::uint8_t>>& messages() {
  static const auto msgs = [] {
    std::vector<std::vector<std::uint8_t>> m(kMessages, std::vector<std::uint8_t>(kMessageBytes));
    for (std::size_t i = 0; i < kMessages; ++i)
      for (std::size_t j = 0; j < kMessageBytes; ++j) m[i][j] = static_cast<std::uint8_t>(i * 31 + j);
    return m;
  }();
  return msgs;
}

const std::vector<MlDsa65Signature>& signatures() {
  static const auto sigs = [] {
    std::vector<MlDsa65Signature> s;
    for (const auto& m : messages()) {
      auto sig = fixed_key().sign_deterministic(m);
      if (!sig) std::abort();
      s.push_back(*sig);
    }
    return s;
  }();
  return sigs;
}

// Key generation with fresh randomness (FIPS 204, Algorithm 1), including the expansion a
// signer keeps (A-hat, NTT forms of s1, s2, t0).
void BM_KeyGen(benchmark::State& st) {
  for (auto _ : st) {
    auto k = MlDsa65PrivateKey::generate();
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_KeyGen);

// Expansion of a stored seed xi (FIPS 204, Algorithm 6) into a signing key object.
void BM_KeyGenFromSeed(benchmark::State& st) {
  const auto seed = seed_bytes();
  for (auto _ : st) {
    auto k = MlDsa65PrivateKey::from_seed(seed);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_KeyGenFromSeed);

// Deterministic pure signing with a key object kept between signatures.
void BM_Sign(benchmark::State& st) {
  const auto& key = fixed_key();
  const auto& msgs = messages();
  std::size_t i = 0;
  for (auto _ : st) {
    auto sig = key.sign_deterministic(msgs[i++ % kMessages]);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_Sign);

// Hedged signing: one more random draw.
void BM_SignHedged(benchmark::State& st) {
  const auto& key = fixed_key();
  const auto& msgs = messages();
  std::size_t i = 0;
  for (auto _ : st) {
    auto sig = key.sign_hedged(msgs[i++ % kMessages]);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_SignHedged);

// Signing from the stored seed each time: expansion plus one signature.
void BM_SignFromSeed(benchmark::State& st) {
  const auto seed = seed_bytes();
  const auto& msgs = messages();
  std::size_t i = 0;
  for (auto _ : st) {
    auto key = MlDsa65PrivateKey::from_seed(seed);
    auto sig = key->sign_deterministic(msgs[i++ % kMessages]);
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_SignFromSeed);

// Verification with a public key object kept between signatures.
void BM_Verify(benchmark::State& st) {
  const auto& pk = fixed_key().public_key();
  const auto& msgs = messages();
  const auto& sigs = signatures();
  std::size_t i = 0;
  for (auto _ : st) {
    const std::size_t n = i++ % kMessages;
    auto ok = pk.verify(msgs[n], sigs[n]);
    if (!ok) st.SkipWithError("verification failed");
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_Verify);

// Verification from the 1952 public-key bytes each time: decoding, ExpandA, NTT(t1 2^d).
void BM_VerifyFromBytes(benchmark::State& st) {
  const auto& encoded = fixed_key().public_key().bytes();
  const auto& msgs = messages();
  const auto& sigs = signatures();
  std::size_t i = 0;
  for (auto _ : st) {
    const std::size_t n = i++ % kMessages;
    auto pk = MlDsa65PublicKey::from_bytes(encoded);
    auto ok = pk->verify(msgs[n], sigs[n]);
    if (!ok) st.SkipWithError("verification failed");
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_VerifyFromBytes);

}  // namespace

BENCHMARK_MAIN();
