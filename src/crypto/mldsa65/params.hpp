#pragma once
// ML-DSA-65 parameter set (FIPS 204, Table 1) and the sizes derived from it.
#include <cstddef>
#include <cstdint>

namespace ostrel::crypto::mldsa65 {

inline constexpr std::int32_t kQ = 8380417;  // 2^23 - 2^13 + 1
inline constexpr std::size_t kN = 256;
inline constexpr std::int32_t kZeta = 1753;  // a primitive 512th root of unity modulo q
inline constexpr int kD = 13;                // bits dropped from t by Power2Round

inline constexpr std::size_t kK = 6;
inline constexpr std::size_t kL = 5;
inline constexpr std::int32_t kEta = 4;
inline constexpr std::size_t kTau = 49;
inline constexpr std::int32_t kBeta = 196;  // tau * eta
inline constexpr std::int32_t kGamma1 = 1 << 19;
inline constexpr std::int32_t kGamma2 = (kQ - 1) / 32;  // 261888
inline constexpr std::size_t kOmega = 55;
inline constexpr std::size_t kLambda = 192;  // collision strength of c~, in bits

static_assert(kBeta == static_cast<std::int32_t>(kTau) * kEta);
static_assert((kQ - 1) % (2 * kGamma2) == 0);

// Number of distinct high parts: (q - 1) / (2 gamma2).
inline constexpr std::int32_t kHighBitsRange = (kQ - 1) / (2 * kGamma2);
static_assert(kHighBitsRange == 16);

// Bit widths of the packed polynomials (FIPS 204, Algorithms 22 to 28).
inline constexpr std::size_t kT1Bits = 10;  // bitlen(q - 1) - d
inline constexpr std::size_t kT0Bits = 13;  // bitlen(2^(d-1) - 1 + 2^(d-1))
inline constexpr std::size_t kEtaBits = 4;  // bitlen(2 eta)
inline constexpr std::size_t kZBits = 20;   // bitlen(gamma1 - 1 + gamma1) = 1 + bitlen(gamma1 - 1)
inline constexpr std::size_t kW1Bits = 4;   // bitlen((q - 1)/(2 gamma2) - 1)

inline constexpr std::size_t packed_poly_bytes(std::size_t bits) { return kN * bits / 8; }

inline constexpr std::size_t kSeedBytes = 32;      // xi
inline constexpr std::size_t kRhoBytes = 32;       // seed of A
inline constexpr std::size_t kRhoPrimeBytes = 64;  // seed of s1, s2
inline constexpr std::size_t kKeyBytes = 32;       // K, mixed into the signing randomness
inline constexpr std::size_t kTrBytes = 64;        // H(pk)
inline constexpr std::size_t kMuBytes = 64;        // message representative
inline constexpr std::size_t kRndBytes = 32;       // signing randomness
inline constexpr std::size_t kRhoPrimePrimeBytes = 64;
inline constexpr std::size_t kCTildeBytes = 2 * kLambda / 8;  // lambda / 4 = 48
inline constexpr std::size_t kMaxContextBytes = 255;

inline constexpr std::size_t kPublicKeyBytes = kRhoBytes + kK * packed_poly_bytes(kT1Bits);
inline constexpr std::size_t kSecretKeyBytes = kRhoBytes + kKeyBytes + kTrBytes +
                                               (kL + kK) * packed_poly_bytes(kEtaBits) +
                                               kK * packed_poly_bytes(kT0Bits);
inline constexpr std::size_t kSignatureBytes = kCTildeBytes + kL * packed_poly_bytes(kZBits) + kOmega + kK;
inline constexpr std::size_t kW1EncodedBytes = kK * packed_poly_bytes(kW1Bits);

static_assert(kPublicKeyBytes == 1952);
static_assert(kSecretKeyBytes == 4032);
static_assert(kSignatureBytes == 3309);

}  // namespace ostrel::crypto::mldsa65
