// ML-KEM-768 micro benchmarks. bench/mlkem768_bench.py runs this program and sets its figures
// beside those of other implementations measured in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>

#include "crypto/mlkem768/mlkem768.hpp"
#include "crypto/mlkem768/ntt.hpp"
#include "crypto/mlkem768/sample.hpp"

namespace {

using namespace ostrel::crypto::mlkem768;

std::array<std::uint8_t, kSeedBytes> seed_bytes() {
  std::array<std::uint8_t, kSeedBytes> s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return s;
}

DecapsulationKey fixed_key() {
  auto dk = DecapsulationKey::from_seed(seed_bytes());
  if (!dk) std::abort();
  return std::move(*dk);
}

// Key generation with fresh randomness (FIPS 203, Algorithm 19).
void BM_KeyGen(benchmark::State& st) {
  for (auto _ : st) {
    auto dk = DecapsulationKey::generate();
    benchmark::DoNotOptimize(dk);
  }
}
BENCHMARK(BM_KeyGen);

// Expansion of a stored seed d || z (FIPS 203, Algorithm 16).
void BM_KeyGenFromSeed(benchmark::State& st) {
  const auto seed = seed_bytes();
  for (auto _ : st) {
    auto dk = DecapsulationKey::from_seed(seed);
    benchmark::DoNotOptimize(dk);
  }
}
BENCHMARK(BM_KeyGenFromSeed);

// Encapsulation to a key object kept by the sender.
void BM_Encaps(benchmark::State& st) {
  const auto dk = fixed_key();
  const auto& ek = dk.encapsulation_key();
  for (auto _ : st) {
    auto enc = ek.encapsulate();
    benchmark::DoNotOptimize(enc);
  }
}
BENCHMARK(BM_Encaps);

// Encapsulation from the 1184 key bytes: modulus check, matrix expansion, encapsulation.
void BM_EncapsFromBytes(benchmark::State& st) {
  const auto dk = fixed_key();
  const auto bytes = dk.encapsulation_key().bytes();
  for (auto _ : st) {
    auto ek = EncapsulationKey::from_bytes(bytes);
    auto enc = ek->encapsulate();
    benchmark::DoNotOptimize(enc);
  }
}
BENCHMARK(BM_EncapsFromBytes);

// Decapsulation with a key object kept by the holder.
void BM_Decaps(benchmark::State& st) {
  const auto dk = fixed_key();
  const auto enc = dk.encapsulation_key().encapsulate();
  for (auto _ : st) {
    auto k = dk.decapsulate(enc->ciphertext);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_Decaps);

// Decapsulation from the stored seed, expanding the key each time.
void BM_DecapsFromSeed(benchmark::State& st) {
  const auto seed = seed_bytes();
  const auto dk0 = fixed_key();
  const auto enc = dk0.encapsulation_key().encapsulate();
  for (auto _ : st) {
    auto dk = DecapsulationKey::from_seed(seed);
    auto k = dk->decapsulate(enc->ciphertext);
    benchmark::DoNotOptimize(k);
  }
}
BENCHMARK(BM_DecapsFromSeed);

// Components, to see where the time goes (and what vector units would speed up).
void BM_Part_Ntt(benchmark::State& st) {
  Poly p{};
  for (std::size_t i = 0; i < kN; ++i) p.c[i] = static_cast<std::int16_t>(i * 13 % kQ);
  for (auto _ : st) {
    ntt(p);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_Part_Ntt);

void BM_Part_InvNtt(benchmark::State& st) {
  Poly p{};
  for (std::size_t i = 0; i < kN; ++i) p.c[i] = static_cast<std::int16_t>(i * 13 % kQ);
  for (auto _ : st) {
    inv_ntt(p);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_Part_InvNtt);

void BM_Part_MultiplyNttsAcc(benchmark::State& st) {
  PolyVec a{}, b{};
  Poly r;
  const std::array<const Poly*, kK> pa = {&a[0], &a[1], &a[2]}, pb = {&b[0], &b[1], &b[2]};
  for (auto _ : st) {
    multiply_ntts_acc(r, pa, pb);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Part_MultiplyNttsAcc);

// The nine SampleNTT calls of one matrix expansion.
void BM_Part_MatrixExpand(benchmark::State& st) {
  std::array<std::uint8_t, kSymBytes> rho{};
  Poly p;
  for (auto _ : st) {
    for (std::uint8_t i = 0; i < 9; ++i) {
      sample_ntt(p, rho, i % 3, i / 3);
      benchmark::DoNotOptimize(p);
    }
  }
}
BENCHMARK(BM_Part_MatrixExpand);

void BM_Part_SampleCbdPrf(benchmark::State& st) {
  std::array<std::uint8_t, kSymBytes> s{};
  Poly p;
  for (auto _ : st) {
    sample_cbd_prf(p, s, 1);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_Part_SampleCbdPrf);

}  // namespace

BENCHMARK_MAIN();
