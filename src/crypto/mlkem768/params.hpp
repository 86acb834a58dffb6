#pragma once
// ML-KEM-768 parameters (FIPS 203, section 8, Table 2) and the encoding sizes derived from them
// (Table 3).
#include <cstddef>
#include <cstdint>

namespace ostrel::crypto::mlkem768 {

inline constexpr std::size_t kN = 256;    // coefficients per polynomial
inline constexpr std::int32_t kQ = 3329;  // the prime modulus, 2^8 * 13 + 1
inline constexpr std::size_t kK = 3;      // module rank
inline constexpr unsigned kEta1 = 2;      // CBD width of s, e and y
inline constexpr unsigned kEta2 = 2;      // CBD width of e1 and e2
inline constexpr unsigned kDu = 10;       // compression bits of u
inline constexpr unsigned kDv = 4;        // compression bits of v

// ByteEncode_12 of one polynomial: 256 * 12 / 8.
inline constexpr std::size_t kPolyBytes = kN * 12 / 8;
inline constexpr std::size_t kSymBytes = 32;  // d, z, m, rho, sigma, r, H(ek), K

inline constexpr std::size_t kEncapsulationKeyBytes = kPolyBytes * kK + kSymBytes;           // 1184
inline constexpr std::size_t kDecapsulationKeyBytes = 2 * kPolyBytes * kK + 3 * kSymBytes;   // 2400
inline constexpr std::size_t kCompressedUBytes = kN * kDu / 8;                               // 320
inline constexpr std::size_t kCompressedVBytes = kN * kDv / 8;                               // 128
inline constexpr std::size_t kCiphertextBytes = kCompressedUBytes * kK + kCompressedVBytes;  // 1088
inline constexpr std::size_t kSharedSecretBytes = 32;
inline constexpr std::size_t kSeedBytes = 2 * kSymBytes;  // d || z
inline constexpr std::size_t kMessageBytes = 32;
// PRF_eta output: 64 * eta bytes (FIPS 203, section 4.1, eq. 4.3).
inline constexpr std::size_t kCbdBytes = 64 * kEta1;

static_assert(kEncapsulationKeyBytes == 1184);
static_assert(kDecapsulationKeyBytes == 2400);
static_assert(kCiphertextBytes == 1088);
static_assert(kEta1 == kEta2, "one CBD sampler serves both widths");

}  // namespace ostrel::crypto::mlkem768
