#include "crypto/mldsa65/mldsa65.hpp"

#include <algorithm>
#include <string>

#include "common/secure_bytes.hpp"
#include "crypto/mldsa65/ct.hpp"
#include "crypto/mldsa65/internal.hpp"
#include "crypto/rng.hpp"

namespace ostrel::crypto {

namespace {

using mldsa65::kMuBytes;
using mldsa65::kRndBytes;
using mldsa65::kSignatureBytes;

static_assert(kMlDsa65SeedBytes == mldsa65::kSeedBytes);
static_assert(kMlDsa65PublicKeyBytes == mldsa65::kPublicKeyBytes);
static_assert(kMlDsa65SecretKeyBytes == mldsa65::kSecretKeyBytes);
static_assert(kMlDsa65SignatureBytes == mldsa65::kSignatureBytes);
static_assert(kMlDsa65MuBytes == mldsa65::kMuBytes);
static_assert(kMlDsa65RndBytes == mldsa65::kRndBytes);
static_assert(kMlDsa65MaxContextBytes == mldsa65::kMaxContextBytes);

CryptoError wrong_length(const char* what, std::size_t expected, std::size_t got) {
  return CryptoError{CryptoError::Kind::InvalidLength, std::string("ML-DSA-65 ") + what + " must be " +
                                                           std::to_string(expected) + " bytes, got " +
                                                           std::to_string(got)};
}

CryptoError context_too_long(std::size_t got) {
  return CryptoError{CryptoError::Kind::InvalidLength,
                     "ML-DSA-65 context must be at most 255 bytes, got " + std::to_string(got)};
}

// KeyParts holds s1, s2, t0 and K: wiped when it goes out of scope, on every path.
struct WipedKeyParts {
  mldsa65::KeyParts parts;
  WipedKeyParts() = default;
  WipedKeyParts(const WipedKeyParts&) = delete;
  WipedKeyParts& operator=(const WipedKeyParts&) = delete;
  ~WipedKeyParts() { common::secure_wipe(&parts, sizeof(parts)); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Public key

MlDsa65PublicKey::MlDsa65PublicKey(std::shared_ptr<const mldsa65::PublicState> state) noexcept
    : state_(std::move(state)) {}

common::Result<MlDsa65PublicKey, CryptoError> MlDsa65PublicKey::from_bytes(
    std::span<const std::uint8_t> encoded) {
  if (encoded.size() != kMlDsa65PublicKeyBytes)
    return common::fail(wrong_length("public key", kMlDsa65PublicKeyBytes, encoded.size()));
  auto state = std::make_shared<mldsa65::PublicState>();
  mldsa65::expand_public_key(encoded.first<kMlDsa65PublicKeyBytes>(), *state);
  return MlDsa65PublicKey(std::move(state));
}

const MlDsa65EncodedPublicKey& MlDsa65PublicKey::bytes() const noexcept { return state_->encoded; }

common::Result<void, CryptoError> MlDsa65PublicKey::verify(std::span<const std::uint8_t> message,
                                                           std::span<const std::uint8_t> signature,
                                                           std::span<const std::uint8_t> context) const {
  if (context.size() > kMlDsa65MaxContextBytes) return common::fail(context_too_long(context.size()));
  // Algorithm 3, step 5: M' = IntegerToBytes(0, 1) || IntegerToBytes(|ctx|, 1) || ctx || M.
  const std::array<std::uint8_t, 2> prefix{0, static_cast<std::uint8_t>(context.size())};
  std::array<std::uint8_t, kMuBytes> mu;
  mldsa65::message_representative(state_->tr, {prefix, context, message}, mu);
  return verify_checked_mu(mu, signature);
}

common::Result<void, CryptoError> MlDsa65PublicKey::verify_internal(
    std::span<const std::uint8_t> message_prime, std::span<const std::uint8_t> signature) const {
  std::array<std::uint8_t, kMuBytes> mu;
  mldsa65::message_representative(state_->tr, {message_prime}, mu);
  return verify_checked_mu(mu, signature);
}

common::Result<void, CryptoError> MlDsa65PublicKey::verify_mu(std::span<const std::uint8_t> mu,
                                                              std::span<const std::uint8_t> signature) const {
  if (mu.size() != kMuBytes) return common::fail(wrong_length("mu", kMuBytes, mu.size()));
  return verify_checked_mu(mu.first<kMuBytes>(), signature);
}

common::Result<void, CryptoError> MlDsa65PublicKey::verify_checked_mu(
    std::span<const std::uint8_t, kMuBytes> mu, std::span<const std::uint8_t> signature) const {
  if (signature.size() != kSignatureBytes)
    return common::fail(wrong_length("signature", kSignatureBytes, signature.size()));
  return mldsa65::verify_internal(*state_, mu, signature.first<kSignatureBytes>());
}

// ---------------------------------------------------------------------------------------------
// Private key

MlDsa65PrivateKey::MlDsa65PrivateKey(MlDsa65PublicKey pub,
                                     std::unique_ptr<mldsa65::SecretState> secret) noexcept
    : public_(std::move(pub)), secret_(std::move(secret)) {}
MlDsa65PrivateKey::MlDsa65PrivateKey(MlDsa65PrivateKey&&) noexcept = default;
MlDsa65PrivateKey& MlDsa65PrivateKey::operator=(MlDsa65PrivateKey&&) noexcept = default;
MlDsa65PrivateKey::~MlDsa65PrivateKey() = default;

common::Result<MlDsa65PrivateKey, CryptoError> MlDsa65PrivateKey::generate() {
  std::array<std::uint8_t, kMlDsa65SeedBytes> xi;  // step 1
  common::WipeOnExit wipe_xi(xi);
  if (auto drawn = random_bytes(xi); !drawn) return common::fail(std::move(drawn.error()));  // step 2
  return from_seed(xi);                                                                      // step 4
}

common::Result<MlDsa65PrivateKey, CryptoError> MlDsa65PrivateKey::from_seed(
    std::span<const std::uint8_t> seed) {
  if (seed.size() != kMlDsa65SeedBytes)
    return common::fail(wrong_length("seed", kMlDsa65SeedBytes, seed.size()));
  auto secret = std::make_unique<mldsa65::SecretState>();
  std::ranges::copy(seed, secret->seed.begin());
  secret->has_seed = true;
  mldsa65::ct::mark_secret(secret->seed);

  auto pub = std::make_shared<mldsa65::PublicState>();
  WipedKeyParts parts;
  std::array<std::uint8_t, kMlDsa65PublicKeyBytes> pk;
  mldsa65::keygen_internal(secret->seed, parts.parts, pub->a_hat, pk);
  mldsa65::expand_public(parts.parts, pk, *pub);
  mldsa65::expand_secret(parts.parts, *secret);
  return MlDsa65PrivateKey(MlDsa65PublicKey(std::move(pub)), std::move(secret));
}

common::Result<MlDsa65PrivateKey, CryptoError> MlDsa65PrivateKey::from_expanded(
    std::span<const std::uint8_t> secret_key) {
  if (secret_key.size() != kMlDsa65SecretKeyBytes)
    return common::fail(wrong_length("secret key", kMlDsa65SecretKeyBytes, secret_key.size()));
  WipedKeyParts parts;
  if (!mldsa65::sk_decode(secret_key.first<kMlDsa65SecretKeyBytes>(), parts.parts))
    return common::fail(
        CryptoError{CryptoError::Kind::InvalidKey, "ML-DSA-65 secret key has s1 or s2 out of range"});
  // The encoding mixes public and secret fields; whatever the caller's marking, rho and tr
  // are public and the rest secret from here on.
  mldsa65::ct::declassify(parts.parts.rho);
  mldsa65::ct::declassify(parts.parts.tr);
  mldsa65::ct::mark_secret(parts.parts.key);
  mldsa65::ct::mark_secret(parts.parts.s1);
  mldsa65::ct::mark_secret(parts.parts.s2);
  mldsa65::ct::mark_secret(parts.parts.t0);

  auto pub = std::make_shared<mldsa65::PublicState>();
  std::array<std::uint8_t, kMlDsa65PublicKeyBytes> pk;
  if (!mldsa65::complete_from_secret(parts.parts, pub->a_hat, pk))
    return common::fail(
        CryptoError{CryptoError::Kind::InvalidKey,
                    "ML-DSA-65 secret key is inconsistent (t0 or tr does not match s1, s2, rho)"});
  auto secret = std::make_unique<mldsa65::SecretState>();
  mldsa65::expand_public(parts.parts, pk, *pub);
  mldsa65::expand_secret(parts.parts, *secret);
  return MlDsa65PrivateKey(MlDsa65PublicKey(std::move(pub)), std::move(secret));
}

std::optional<std::span<const std::uint8_t, kMlDsa65SeedBytes>> MlDsa65PrivateKey::seed() const noexcept {
  if (!secret_->has_seed) return std::nullopt;
  return std::span<const std::uint8_t, kMlDsa65SeedBytes>(secret_->seed);
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_deterministic(
    std::span<const std::uint8_t> message, std::span<const std::uint8_t> context) const {
  static constexpr std::array<std::uint8_t, kRndBytes> kZeroRnd{};  // Algorithm 2, step 5 (deterministic)
  return sign_external(message, context, kZeroRnd);
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_hedged(
    std::span<const std::uint8_t> message, std::span<const std::uint8_t> context) const {
  if (context.size() > kMlDsa65MaxContextBytes) return common::fail(context_too_long(context.size()));
  std::array<std::uint8_t, kRndBytes> rnd;  // Algorithm 2, step 5 (hedged)
  common::WipeOnExit wipe_rnd(rnd);
  if (auto drawn = random_bytes(rnd); !drawn) return common::fail(std::move(drawn.error()));  // steps 6-8
  mldsa65::ct::mark_secret(rnd);
  return sign_external(message, context, rnd);
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_external(
    std::span<const std::uint8_t> message, std::span<const std::uint8_t> context,
    std::span<const std::uint8_t, kRndBytes> rnd) const {
  if (context.size() > kMlDsa65MaxContextBytes)
    return common::fail(context_too_long(context.size()));  // steps 1-3
  // Step 10: M' = IntegerToBytes(0, 1) || IntegerToBytes(|ctx|, 1) || ctx || M.
  const std::array<std::uint8_t, 2> prefix{0, static_cast<std::uint8_t>(context.size())};
  std::array<std::uint8_t, kMuBytes> mu;
  mldsa65::message_representative(public_.state_->tr, {prefix, context, message}, mu);
  return sign_checked_mu(mu, rnd);  // step 11
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_internal(
    std::span<const std::uint8_t> message_prime, std::span<const std::uint8_t> rnd) const {
  if (rnd.size() != kRndBytes) return common::fail(wrong_length("rnd", kRndBytes, rnd.size()));
  std::array<std::uint8_t, kMuBytes> mu;
  mldsa65::message_representative(public_.state_->tr, {message_prime}, mu);
  return sign_checked_mu(mu, rnd.first<kRndBytes>());
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_mu(
    std::span<const std::uint8_t> mu, std::span<const std::uint8_t> rnd) const {
  if (mu.size() != kMuBytes) return common::fail(wrong_length("mu", kMuBytes, mu.size()));
  if (rnd.size() != kRndBytes) return common::fail(wrong_length("rnd", kRndBytes, rnd.size()));
  return sign_checked_mu(mu.first<kMuBytes>(), rnd.first<kRndBytes>());
}

common::Result<MlDsa65Signature, CryptoError> MlDsa65PrivateKey::sign_checked_mu(
    std::span<const std::uint8_t, kMuBytes> mu, std::span<const std::uint8_t, kRndBytes> rnd) const {
  MlDsa65Signature sig;
  if (auto r = mldsa65::sign_internal(*public_.state_, *secret_, mu, rnd, sig); !r)
    return common::fail(std::move(r.error()));
  return sig;
}

}  // namespace ostrel::crypto
