// Our Keccak against OpenSSL's SHAKE on the lattice schemes' typical workloads. OpenSSL 3.0
// cannot squeeze a SHAKE stream in several calls (EVP_DigestSqueeze came in 3.3), so its
// figures use one-shot EVP_DigestFinalXOF with the output length fixed in advance.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target keccak_bench && build/bench/keccak_bench
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crypto/keccak.hpp"

namespace {

using ostrel::crypto::Shake128;

void BM_Permutation(benchmark::State& st) {
  std::array<std::uint64_t, 25> s{};
  for (auto _ : st) {
    ostrel::crypto::keccak_f1600(s);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_Permutation);

// ML-KEM-768 matrix expansion: 9 SHAKE128 streams of 34-byte seeds, 3 blocks (504 bytes) each,
// which covers rejection sampling in all but rare cases.
void BM_Ours_Shake128Matrix(benchmark::State& st) {
  std::array<std::uint8_t, 34> seed{};
  std::array<std::uint8_t, 504> out{};
  for (auto _ : st) {
    for (std::uint8_t i = 0; i < 9; ++i) {
      seed[32] = i;
      Shake128 x;
      x.absorb(seed);
      x.squeeze(out);
      benchmark::DoNotOptimize(out);
    }
  }
}
BENCHMARK(BM_Ours_Shake128Matrix);

void BM_OpenSSL_Shake128Matrix(benchmark::State& st) {
  std::array<std::uint8_t, 34> seed{};
  std::array<std::uint8_t, 504> out{};
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHAKE128", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : st) {
    for (std::uint8_t i = 0; i < 9; ++i) {
      seed[32] = i;
      EVP_DigestInit_ex2(ctx, md, nullptr);
      EVP_DigestUpdate(ctx, seed.data(), seed.size());
      EVP_DigestFinalXOF(ctx, out.data(), out.size());
      benchmark::DoNotOptimize(out);
    }
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}
BENCHMARK(BM_OpenSSL_Shake128Matrix);

// Many short hashes: the CBD noise of ML-KEM (SHAKE256 of 33 bytes to 128 bytes).
void BM_Ours_Shake256Short(benchmark::State& st) {
  std::array<std::uint8_t, 33> in{};
  std::array<std::uint8_t, 128> out{};
  for (auto _ : st) {
    ostrel::crypto::shake256(in, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Ours_Shake256Short);

void BM_OpenSSL_Shake256Short(benchmark::State& st) {
  std::array<std::uint8_t, 33> in{};
  std::array<std::uint8_t, 128> out{};
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHAKE256", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : st) {
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, in.data(), in.size());
    EVP_DigestFinalXOF(ctx, out.data(), out.size());
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}
BENCHMARK(BM_OpenSSL_Shake256Short);

// Bulk throughput: SHA3-256 over 1184 bytes (hashing an ML-KEM encapsulation key).
void BM_Ours_Sha3_256_1184(benchmark::State& st) {
  std::vector<std::uint8_t> in(1184);
  std::array<std::uint8_t, 32> out{};
  for (auto _ : st) {
    ostrel::crypto::sha3_256(in, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_Ours_Sha3_256_1184);

void BM_OpenSSL_Sha3_256_1184(benchmark::State& st) {
  std::vector<std::uint8_t> in(1184);
  std::array<std::uint8_t, 32> out{};
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA3-256", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : st) {
    unsigned len = 0;
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, in.data(), in.size());
    EVP_DigestFinal_ex(ctx, out.data(), &len);
    benchmark::DoNotOptimize(out);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}
BENCHMARK(BM_OpenSSL_Sha3_256_1184);

}  // namespace

BENCHMARK_MAIN();
