#pragma once
// K-PKE, the public-key encryption scheme inside ML-KEM (FIPS 203, section 5). Not for use on
// its own: it is only CPA-secure, and its encryption must get fresh randomness every time.
#include <array>
#include <cstdint>
#include <span>

#include "crypto/mlkem768/poly.hpp"

namespace ostrel::crypto::mlkem768 {

inline constexpr std::size_t kPkeSecretKeyBytes = kPolyBytes * kK;  // ByteEncode_12(s_hat)

// An encryption key parsed once: t_hat decoded and A_hat expanded from rho, so repeated
// encryptions (and re-encryption in decapsulation) skip both. All coefficients in 0 .. q-1.
struct PkePublicKey {
  PolyVec t_hat;
  PolyMatrix a_hat;
  std::array<std::uint8_t, kSymBytes> rho;
};

// s_hat, each coefficient with |c| < q.
struct PkeSecretKey {
  PolyVec s_hat;
};

// K-PKE.KeyGen(d) (FIPS 203, Algorithm 13), leaving both keys decoded; their encodings are
// encode_public_key and encode_secret_key.
void kpke_keygen(std::span<const std::uint8_t, kSymBytes> d, PkePublicKey& pk, PkeSecretKey& sk) noexcept;

// ek_PKE = ByteEncode_12(t_hat) || rho (Algorithm 13, step 19).
void encode_public_key(std::span<std::uint8_t, kEncapsulationKeyBytes> out, const PkePublicKey& pk) noexcept;
// dk_PKE = ByteEncode_12(s_hat) (Algorithm 13, step 20).
void encode_secret_key(std::span<std::uint8_t, kPkeSecretKeyBytes> out, const PkeSecretKey& sk) noexcept;

// Parses ek_PKE (Algorithm 14, steps 2-8) after the modulus check of FIPS 203, section 7.2;
// false when a coefficient is not below q.
[[nodiscard]] bool decode_public_key(PkePublicKey& pk,
                                     std::span<const std::uint8_t, kEncapsulationKeyBytes> ek) noexcept;
// s_hat = ByteDecode_12(dk_PKE) (Algorithm 15, step 5).
void decode_secret_key(PkeSecretKey& sk, std::span<const std::uint8_t, kPkeSecretKeyBytes> dk) noexcept;

// K-PKE.Encrypt(ek, m, r) (FIPS 203, Algorithm 14).
void kpke_encrypt(std::span<std::uint8_t, kCiphertextBytes> c, const PkePublicKey& pk,
                  std::span<const std::uint8_t, kMessageBytes> m,
                  std::span<const std::uint8_t, kSymBytes> r) noexcept;

// K-PKE.Decrypt(dk, c) (FIPS 203, Algorithm 15).
void kpke_decrypt(std::span<std::uint8_t, kMessageBytes> m, const PkeSecretKey& sk,
                  std::span<const std::uint8_t, kCiphertextBytes> c) noexcept;

}  // namespace ostrel::crypto::mlkem768
