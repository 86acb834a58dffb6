// The classical primitives as the keys, channel and audit log use them. The Ed25519 pairs show
// what keeping an imported key saves over importing the raw bytes on every call.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target classical_bench && build/bench/classical_bench
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/classical/chacha20_poly1305.hpp"
#include "crypto/classical/ed25519.hpp"
#include "crypto/classical/hkdf_sha256.hpp"
#include "crypto/classical/sha256.hpp"
#include "crypto/classical/x25519.hpp"
#include "crypto/rng.hpp"

namespace {

using namespace ostrel::crypto;

template <class T, class E>
T must(std::expected<T, E> r) {
  if (!r) std::abort();
  return std::move(*r);
}

std::vector<std::uint8_t> random_vec(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  if (!random_bytes(v)) std::abort();
  return v;
}

// A permit token's canonical bytes are a few hundred bytes.
const std::vector<std::uint8_t> kMessage = random_vec(256);

void BM_Ed25519Sign_KeptKey(benchmark::State& st) {
  const auto key = must(Ed25519PrivateKey::generate());
  for (auto _ : st) benchmark::DoNotOptimize(must(key.sign(kMessage)));
}
BENCHMARK(BM_Ed25519Sign_KeptKey);

void BM_Ed25519Sign_ImportEachTime(benchmark::State& st) {
  const auto seed = random_vec(kEd25519SeedSize);
  for (auto _ : st) {
    const auto key = must(Ed25519PrivateKey::from_seed(seed));
    benchmark::DoNotOptimize(must(key.sign(kMessage)));
  }
}
BENCHMARK(BM_Ed25519Sign_ImportEachTime);

void BM_Ed25519Verify_KeptKey(benchmark::State& st) {
  const auto key = must(Ed25519PrivateKey::generate());
  const auto sig = must(key.sign(kMessage));
  const auto verifier = must(Ed25519PublicKey::from_bytes(key.public_key()));
  for (auto _ : st) benchmark::DoNotOptimize(verifier.verify(kMessage, sig).has_value());
}
BENCHMARK(BM_Ed25519Verify_KeptKey);

// Includes the curve-point check of the public key.
void BM_Ed25519Verify_ImportEachTime(benchmark::State& st) {
  const auto key = must(Ed25519PrivateKey::generate());
  const auto sig = must(key.sign(kMessage));
  const auto pk = key.public_key();
  for (auto _ : st) {
    const auto verifier = must(Ed25519PublicKey::from_bytes(pk));
    benchmark::DoNotOptimize(verifier.verify(kMessage, sig).has_value());
  }
}
BENCHMARK(BM_Ed25519Verify_ImportEachTime);

void BM_Ed25519PublicKeyImport(benchmark::State& st) {
  const auto pk = must(Ed25519PrivateKey::generate()).public_key();
  for (auto _ : st) benchmark::DoNotOptimize(must(Ed25519PublicKey::from_bytes(pk)));
}
BENCHMARK(BM_Ed25519PublicKeyImport);

// One exchange with a kept secret: the peer's key is imported each time, as on decryption.
void BM_X25519_Exchange(benchmark::State& st) {
  const auto key = must(X25519PrivateKey::generate());
  const auto peer = must(X25519PrivateKey::generate()).public_key();
  for (auto _ : st) benchmark::DoNotOptimize(must(key.diffie_hellman(peer)));
}
BENCHMARK(BM_X25519_Exchange);

// What a sender does per message: a fresh ephemeral key, its public key, one exchange.
void BM_X25519_EphemeralExchange(benchmark::State& st) {
  const auto peer = must(X25519PrivateKey::generate()).public_key();
  for (auto _ : st) {
    const auto eph = must(X25519PrivateKey::generate());
    benchmark::DoNotOptimize(eph.public_key());
    benchmark::DoNotOptimize(must(eph.diffie_hellman(peer)));
  }
}
BENCHMARK(BM_X25519_EphemeralExchange);

void BM_ChaCha20Poly1305_Seal(benchmark::State& st) {
  const auto key = random_vec(32), nonce = random_vec(12), aad = random_vec(47);
  const auto msg = random_vec(static_cast<std::size_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(must(chacha20_poly1305_seal(key, nonce, msg, aad)));
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_ChaCha20Poly1305_Seal)->Arg(1024)->Arg(64 * 1024);

void BM_ChaCha20Poly1305_Open(benchmark::State& st) {
  const auto key = random_vec(32), nonce = random_vec(12), aad = random_vec(47);
  const auto sealed = must(chacha20_poly1305_seal(key, nonce, random_vec(static_cast<std::size_t>(st.range(0))), aad));
  for (auto _ : st) benchmark::DoNotOptimize(must(chacha20_poly1305_open(key, nonce, sealed, aad)));
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_ChaCha20Poly1305_Open)->Arg(1024)->Arg(64 * 1024);

// The channel's key derivation: 64 bytes of shared secrets to one 32-byte key.
void BM_HkdfSha256_32(benchmark::State& st) {
  const auto ikm = random_vec(64), salt = random_vec(17), info = random_vec(24);
  std::array<std::uint8_t, 32> out{};
  for (auto _ : st) {
    if (!hkdf_sha256(ikm, salt, info, out)) std::abort();
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_HkdfSha256_32);

void BM_Sha256(benchmark::State& st) {
  const auto msg = random_vec(static_cast<std::size_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(must(sha256(msg)));
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Sha256)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
