#pragma once
// SHA3-256, SHA3-512, SHAKE128 and SHAKE256 (FIPS 202) for the lattice schemes, which need to
// squeeze extendable output incrementally (rejection sampling) and hash many short inputs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel::crypto {

// A Keccak sponge of rate RateBytes with the given domain-separation byte.
template <std::size_t RateBytes, std::uint8_t Domain>
class KeccakSponge {
 public:
  KeccakSponge() = default;
  ~KeccakSponge();  // wipes the state: it may hold secret seeds
  KeccakSponge(const KeccakSponge&) = default;
  KeccakSponge& operator=(const KeccakSponge&) = default;

  void absorb(std::span<const std::uint8_t> in);  // only before the first squeeze; after, aborts
  void squeeze(std::span<std::uint8_t> out);      // any number of calls, any lengths
  void reset();

 private:
  std::array<std::uint64_t, 25> state_{};
  std::size_t pos_ = 0;
  bool squeezing_ = false;
};

using Shake128 = KeccakSponge<168, 0x1F>;
using Shake256 = KeccakSponge<136, 0x1F>;
using Sha3_256Sponge = KeccakSponge<136, 0x06>;
using Sha3_512Sponge = KeccakSponge<72, 0x06>;

void sha3_256(std::span<const std::uint8_t> in, std::span<std::uint8_t, 32> out);
void sha3_512(std::span<const std::uint8_t> in, std::span<std::uint8_t, 64> out);
void shake256(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
void shake128(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// The permutation itself, exposed for tests and for multi-lane callers.
void keccak_f1600(std::array<std::uint64_t, 25>& state) noexcept;

}  // namespace ostrel::crypto
