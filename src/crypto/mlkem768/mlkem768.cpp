#include "crypto/mlkem768/mlkem768.hpp"

#include <algorithm>
#include <cstring>

#include "crypto/keccak.hpp"
#include "crypto/mlkem768/ct.hpp"
#include "crypto/mlkem768/kpke.hpp"
#include "crypto/rng.hpp"

namespace ostrel::crypto::mlkem768 {

using common::SecureBytes;
using common::WipeOnExit;

// Offsets in the expanded decapsulation key dk = dk_PKE || ek || H(ek) || z (FIPS 203,
// Algorithm 18, steps 1-4).
namespace {
constexpr std::size_t kDkEkOffset = kPkeSecretKeyBytes;                      // 384k
constexpr std::size_t kDkHashOffset = kDkEkOffset + kEncapsulationKeyBytes;  // 768k + 32
constexpr std::size_t kDkZOffset = kDkHashOffset + kSymBytes;                // 768k + 64
static_assert(kDkZOffset + kSymBytes == kDecapsulationKeyBytes);
}  // namespace

struct EncapsulationKeyState {
  PkePublicKey pk;
  std::array<std::uint8_t, kEncapsulationKeyBytes> bytes;
  std::array<std::uint8_t, kSymBytes> h;  // H(ek) = SHA3-256(ek)
};

struct DecapsulationKeyState {
  PkeSecretKey sk;
  std::array<std::uint8_t, kSymBytes> z;
  SecureBytes seed;  // d || z, when known

  DecapsulationKeyState() = default;
  DecapsulationKeyState(const DecapsulationKeyState&) = delete;
  DecapsulationKeyState& operator=(const DecapsulationKeyState&) = delete;
  ~DecapsulationKeyState() {
    common::secure_wipe(&sk, sizeof sk);
    common::secure_wipe(z);
  }
};

namespace {

// FIPS 203, Algorithm 17, steps 1-2.
Encapsulation encaps_internal(const EncapsulationKeyState& key,
                              std::span<const std::uint8_t, kMessageBytes> m) {
  Encapsulation out{{}, SecureBytes(kSharedSecretBytes)};
  std::array<std::uint8_t, 2 * kSymBytes> k_r;  // (K, r)
  WipeOnExit wipe(k_r);
  Sha3_512Sponge g;  // step 1: (K, r) = G(m || H(ek))
  g.absorb(m);
  g.absorb(key.h);
  g.squeeze(k_r);
  kpke_encrypt(out.ciphertext, key.pk, m,  // step 2: c = K-PKE.Encrypt(ek, m, r)
               std::span<const std::uint8_t, kSymBytes>(k_r.data() + kSymBytes, kSymBytes));
  std::memcpy(out.shared_secret.data(), k_r.data(), kSharedSecretBytes);
  ct::declassify(out.ciphertext);
  ct::declassify(out.shared_secret.data(), kSharedSecretBytes);
  return out;
}

// FIPS 203, Algorithm 18, steps 5-11.
void decaps_internal(std::span<std::uint8_t, kSharedSecretBytes> key_out, const DecapsulationKeyState& dk,
                     const EncapsulationKeyState& ek, std::span<const std::uint8_t, kCiphertextBytes> c) {
  std::array<std::uint8_t, kMessageBytes> m;
  std::array<std::uint8_t, 2 * kSymBytes> k_r;  // (K', r')
  std::array<std::uint8_t, kSharedSecretBytes> k_bar;
  std::array<std::uint8_t, kCiphertextBytes> c_prime;
  WipeOnExit wipe_m(m), wipe_k_bar(k_bar);
  WipeOnExit wipe_k_r(k_r);
  WipeOnExit wipe_c_prime(c_prime);  // equal to c exactly when m' is right: it reveals m'

  kpke_decrypt(m, dk.sk, c);  // step 5: m' = K-PKE.Decrypt(dk_PKE, c)
  Sha3_512Sponge g;           // step 6: (K', r') = G(m' || h)
  g.absorb(m);
  g.absorb(ek.h);
  g.squeeze(k_r);
  Shake256 j;  // step 7: K_bar = J(z || c)
  j.absorb(dk.z);
  j.absorb(c);
  j.squeeze(k_bar);
  kpke_encrypt(c_prime, ek.pk, m,  // step 8: c' = K-PKE.Encrypt(ek_PKE, m', r')
               std::span<const std::uint8_t, kSymBytes>(k_r.data() + kSymBytes, kSymBytes));
  // Steps 9-11: K' replaced by K_bar when c != c', by mask rather than branch.
  std::copy_n(k_r.begin(), kSharedSecretBytes, key_out.begin());
  const std::uint8_t differ = ct::differ_mask<kCiphertextBytes>(c, c_prime);
  ct::cmov<kSharedSecretBytes>(key_out, k_bar, differ);
}

CryptoError invalid_key(std::string detail) {
  return CryptoError{CryptoError::Kind::InvalidKey, std::move(detail)};
}

}  // namespace

EncapsulationKey::EncapsulationKey(std::shared_ptr<const EncapsulationKeyState> state) noexcept
    : state_(std::move(state)) {}

common::Result<EncapsulationKey, CryptoError> EncapsulationKey::from_bytes(std::span<const std::uint8_t> ek) {
  if (ek.size() != kEncapsulationKeyBytes)
    return common::fail(
        CryptoError::invalid_length("ML-KEM-768 encapsulation key", kEncapsulationKeyBytes, ek.size()));
  auto state = std::make_shared<EncapsulationKeyState>();
  std::copy(ek.begin(), ek.end(), state->bytes.begin());
  if (!decode_public_key(state->pk, state->bytes))
    return common::fail(invalid_key("ML-KEM-768 encapsulation key: coefficient not reduced mod q"));
  sha3_256(state->bytes, state->h);
  return EncapsulationKey(std::move(state));
}

std::span<const std::uint8_t, kEncapsulationKeyBytes> EncapsulationKey::bytes() const noexcept {
  return state_->bytes;
}

common::Result<Encapsulation, CryptoError> EncapsulationKey::encapsulate() const {
  std::array<std::uint8_t, kMessageBytes> m;  // FIPS 203, Algorithm 20, steps 1-3
  WipeOnExit wipe(m);
  if (auto drawn = random_bytes(m); !drawn) return common::fail(std::move(drawn.error()));
  ct::mark_secret(m);
  return encaps_internal(*state_, m);
}

Encapsulation EncapsulationKey::encapsulate_internal(std::span<const std::uint8_t, kMessageBytes> m) const {
  return encaps_internal(*state_, m);
}

DecapsulationKey::DecapsulationKey(std::unique_ptr<DecapsulationKeyState> state, EncapsulationKey ek) noexcept
    : state_(std::move(state)), ek_(std::move(ek)) {}
DecapsulationKey::DecapsulationKey(DecapsulationKey&&) noexcept = default;
DecapsulationKey& DecapsulationKey::operator=(DecapsulationKey&&) noexcept = default;
DecapsulationKey::~DecapsulationKey() = default;

common::Result<DecapsulationKey, CryptoError> DecapsulationKey::generate() {
  SecureBytes seed(kSeedBytes);  // FIPS 203, Algorithm 19, steps 1-2
  if (auto drawn = random_bytes(seed.span()); !drawn) return common::fail(std::move(drawn.error()));
  return from_seed(seed.span());
}

// FIPS 203, Algorithm 16.
common::Result<DecapsulationKey, CryptoError> DecapsulationKey::from_seed(
    std::span<const std::uint8_t> seed) {
  if (seed.size() != kSeedBytes)
    return common::fail(CryptoError::invalid_length("ML-KEM-768 seed (d || z)", kSeedBytes, seed.size()));
  auto dk = std::make_unique<DecapsulationKeyState>();
  dk->seed = SecureBytes(seed);
  ct::mark_secret(dk->seed.data(), kSeedBytes);
  const std::span<const std::uint8_t, kSymBytes> d(dk->seed.data(), kSymBytes);
  std::copy_n(dk->seed.data() + kSymBytes, kSymBytes, dk->z.begin());

  auto ek = std::make_shared<EncapsulationKeyState>();
  kpke_keygen(d, ek->pk, dk->sk);        // step 1
  encode_public_key(ek->bytes, ek->pk);  // step 2
  sha3_256(ek->bytes, ek->h);            // step 3's H(ek); dk itself is kept decoded
  // The seed is handed back to the caller (to store it); what is derived from it stays marked.
  ct::declassify(dk->seed.data(), kSeedBytes);
  return DecapsulationKey(std::move(dk), EncapsulationKey(std::move(ek)));
}

common::Result<DecapsulationKey, CryptoError> DecapsulationKey::from_expanded(
    std::span<const std::uint8_t> dk_bytes) {
  if (dk_bytes.size() != kDecapsulationKeyBytes)
    return common::fail(
        CryptoError::invalid_length("ML-KEM-768 decapsulation key", kDecapsulationKeyBytes, dk_bytes.size()));
  auto ek = std::make_shared<EncapsulationKeyState>();
  std::copy_n(dk_bytes.begin() + kDkEkOffset, kEncapsulationKeyBytes, ek->bytes.begin());
  sha3_256(ek->bytes, ek->h);
  // Section 7.3's hash check; both sides are public, so an ordinary comparison is fine.
  if (!std::equal(ek->h.begin(), ek->h.end(), dk_bytes.begin() + kDkHashOffset))
    return common::fail(invalid_key("ML-KEM-768 decapsulation key: stored hash is not H(ek)"));
  if (!decode_public_key(ek->pk, ek->bytes))
    return common::fail(
        invalid_key("ML-KEM-768 decapsulation key: embedded encapsulation key not reduced mod q"));

  auto dk = std::make_unique<DecapsulationKeyState>();
  std::copy_n(dk_bytes.begin() + kDkZOffset, kSymBytes, dk->z.begin());
  ct::mark_secret(dk->z);
  std::array<std::uint8_t, kPkeSecretKeyBytes> s_bytes;
  WipeOnExit wipe(s_bytes);
  std::copy_n(dk_bytes.begin(), kPkeSecretKeyBytes, s_bytes.begin());
  ct::mark_secret(s_bytes);
  decode_secret_key(dk->sk, s_bytes);
  return DecapsulationKey(std::move(dk), EncapsulationKey(std::move(ek)));
}

const SecureBytes& DecapsulationKey::seed() const noexcept { return state_->seed; }

SecureBytes DecapsulationKey::expanded_bytes() const {
  SecureBytes out(kDecapsulationKeyBytes);
  encode_secret_key(std::span<std::uint8_t, kPkeSecretKeyBytes>(out.data(), kPkeSecretKeyBytes), state_->sk);
  const auto& ek = *ek_.state_;
  std::copy(ek.bytes.begin(), ek.bytes.end(), out.data() + kDkEkOffset);
  std::copy(ek.h.begin(), ek.h.end(), out.data() + kDkHashOffset);
  std::copy(state_->z.begin(), state_->z.end(), out.data() + kDkZOffset);
  ct::declassify(out.data(), out.size());
  return out;
}

// FIPS 203, Algorithm 21 (section 7.3's ciphertext check, then Algorithm 18).
common::Result<SecureBytes, CryptoError> DecapsulationKey::decapsulate(
    std::span<const std::uint8_t> ciphertext) const {
  if (ciphertext.size() != kCiphertextBytes)
    return common::fail(
        CryptoError::invalid_length("ML-KEM-768 ciphertext", kCiphertextBytes, ciphertext.size()));
  SecureBytes key(kSharedSecretBytes);
  decaps_internal(std::span<std::uint8_t, kSharedSecretBytes>(key.data(), kSharedSecretBytes), *state_,
                  *ek_.state_,
                  std::span<const std::uint8_t, kCiphertextBytes>(ciphertext.data(), kCiphertextBytes));
  ct::declassify(key.data(), key.size());
  return key;
}

}  // namespace ostrel::crypto::mlkem768
