#pragma once
// ML-KEM-768 (FIPS 203): key generation from the 64-byte seed d || z, encapsulation and
// decapsulation with implicit rejection, and the input checks of FIPS 203, section 7.
//
// Fixed-size inputs are length-checked here, once; everything below takes fixed-extent spans.
// Keys are parsed once into the form the arithmetic uses (the matrix A_hat expanded, s_hat
// decoded), so a holder that encapsulates or decapsulates repeatedly keeps the key object.
#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "common/error.hpp"
#include "common/secure_bytes.hpp"
#include "crypto/crypto_error.hpp"
#include "crypto/mlkem768/params.hpp"

namespace ostrel::crypto::mlkem768 {

struct EncapsulationKeyState;
struct DecapsulationKeyState;

// What an encapsulation yields: the ciphertext for the key holder and the 32-byte shared secret.
struct Encapsulation {
  std::array<std::uint8_t, kCiphertextBytes> ciphertext;
  common::SecureBytes shared_secret;
};

// A checked encapsulation key. Immutable; copies share one parsed form.
class EncapsulationKey {
 public:
  // The checks of FIPS 203, section 7.2: exactly 1184 bytes (else InvalidLength), and every
  // encoded coefficient below q, i.e. ByteEncode_12(ByteDecode_12(x)) == x (else InvalidKey).
  [[nodiscard]] static common::Result<EncapsulationKey, CryptoError> from_bytes(
      std::span<const std::uint8_t> ek);

  [[nodiscard]] std::span<const std::uint8_t, kEncapsulationKeyBytes> bytes() const noexcept;

  // ML-KEM.Encaps (FIPS 203, Algorithm 20) with 32 bytes from the operating system's random
  // source; RandomSource when it fails.
  [[nodiscard]] common::Result<Encapsulation, CryptoError> encapsulate() const;

  // ML-KEM.Encaps_internal (FIPS 203, Algorithm 17) with the caller's m. Deterministic, for
  // known-answer tests: m must be fresh uniform randomness, never reused.
  [[nodiscard]] Encapsulation encapsulate_internal(std::span<const std::uint8_t, kMessageBytes> m) const;

 private:
  friend class DecapsulationKey;
  explicit EncapsulationKey(std::shared_ptr<const EncapsulationKeyState> state) noexcept;
  std::shared_ptr<const EncapsulationKeyState> state_;
};

// A decapsulation key, held expanded. Its secret state lives on the heap and is wiped when the
// key is destroyed; the key moves but does not copy (share it by pointer). A moved-from key may
// only be destroyed or assigned to.
class DecapsulationKey {
 public:
  // ML-KEM.KeyGen (FIPS 203, Algorithm 19): d and z from the operating system's random source;
  // RandomSource when it fails.
  [[nodiscard]] static common::Result<DecapsulationKey, CryptoError> generate();

  // ML-KEM.KeyGen_internal(d, z) (FIPS 203, Algorithm 16) from the 64 bytes d || z, the form
  // in which keys are stored; InvalidLength for any other size.
  [[nodiscard]] static common::Result<DecapsulationKey, CryptoError> from_seed(
      std::span<const std::uint8_t> seed);

  // The 2400-byte expanded key dk_PKE || ek || H(ek) || z after the checks of FIPS 203,
  // section 7.3: InvalidLength for another size, InvalidKey when the stored hash is not H(ek).
  // The embedded ek must also pass the modulus check of section 7.2 (InvalidKey): key
  // generation never produces one that does not, and this object hands it out as a checked
  // EncapsulationKey.
  [[nodiscard]] static common::Result<DecapsulationKey, CryptoError> from_expanded(
      std::span<const std::uint8_t> dk);

  DecapsulationKey(DecapsulationKey&&) noexcept;
  DecapsulationKey& operator=(DecapsulationKey&&) noexcept;
  DecapsulationKey(const DecapsulationKey&) = delete;
  DecapsulationKey& operator=(const DecapsulationKey&) = delete;
  ~DecapsulationKey();

  [[nodiscard]] const EncapsulationKey& encapsulation_key() const noexcept { return ek_; }

  // d || z when the key was built from a seed or generated; empty when built from_expanded.
  [[nodiscard]] const common::SecureBytes& seed() const noexcept;

  // The expanded encoding dk (FIPS 203, Algorithm 16, step 3), 2400 bytes.
  [[nodiscard]] common::SecureBytes expanded_bytes() const;

  // ML-KEM.Decaps (FIPS 203, Algorithm 21): InvalidLength unless the ciphertext has 1088
  // bytes. Any ciphertext of that size yields a 32-byte key: a forged or altered one yields
  // the implicit-rejection key J(z || c), chosen without a branch, so neither the result nor
  // the running time tells the sender whether the ciphertext was genuine.
  [[nodiscard]] common::Result<common::SecureBytes, CryptoError> decapsulate(
      std::span<const std::uint8_t> ciphertext) const;

 private:
  DecapsulationKey(std::unique_ptr<DecapsulationKeyState> state, EncapsulationKey ek) noexcept;
  std::unique_ptr<DecapsulationKeyState> state_;
  EncapsulationKey ek_;
};

}  // namespace ostrel::crypto::mlkem768
