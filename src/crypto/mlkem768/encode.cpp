#include "crypto/mlkem768/encode.hpp"

#include <array>

#include "common/secure_bytes.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

// ByteEncode_d (FIPS 203, Algorithm 5) of 256 values below 2^d: bits little-endian, value
// after value. The loop shape depends on d only.
template <unsigned D>
void pack(std::span<std::uint8_t, 32 * D> out, const std::array<std::uint16_t, kN>& v) noexcept {
  std::uint32_t acc = 0;
  unsigned bits = 0;
  std::size_t o = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    acc |= static_cast<std::uint32_t>(v[i]) << bits;
    bits += D;
    while (bits >= 8) {
      out[o++] = static_cast<std::uint8_t>(acc);
      acc >>= 8;
      bits -= 8;
    }
  }
}

// ByteDecode_d (FIPS 203, Algorithm 6) without the reduction mod q of d = 12.
template <unsigned D>
void unpack(std::array<std::uint16_t, kN>& v, std::span<const std::uint8_t, 32 * D> in) noexcept {
  std::uint32_t acc = 0;
  unsigned bits = 0;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    while (bits < D) {
      acc |= static_cast<std::uint32_t>(in[pos++]) << bits;
      bits += 8;
    }
    v[i] = static_cast<std::uint16_t>(acc & ((1u << D) - 1));
    acc >>= D;
    bits -= D;
  }
}

// The staging array is wiped: in decapsulation it holds the re-encryption c', which reveals
// the decrypted message whenever it differs from the ciphertext received.
template <unsigned D>
void compress_pack(std::span<std::uint8_t, 32 * D> out, const Poly& a) noexcept {
  std::array<std::uint16_t, kN> v;
  common::WipeOnExit wipe(v);
  for (std::size_t i = 0; i < kN; ++i) v[i] = compress<D>(a.c[i]);
  pack<D>(out, v);
}

template <unsigned D>
void unpack_decompress(Poly& out, std::span<const std::uint8_t, 32 * D> in) noexcept {
  std::array<std::uint16_t, kN> v;
  unpack<D>(v, in);
  for (std::size_t i = 0; i < kN; ++i) out.c[i] = decompress<D>(v[i]);
}

}  // namespace

// The staging arrays of the 12-bit codecs are wiped: they carry s_hat when a decapsulation key
// is encoded or decoded.
void byte_encode12(std::span<std::uint8_t, kPolyBytes> out, const Poly& a) noexcept {
  std::array<std::uint16_t, kN> v;
  common::WipeOnExit wipe(v);
  for (std::size_t i = 0; i < kN; ++i) v[i] = static_cast<std::uint16_t>(a.c[i]);
  pack<12>(out, v);
}

void byte_decode12(Poly& out, std::span<const std::uint8_t, kPolyBytes> in) noexcept {
  std::array<std::uint16_t, kN> v;
  common::WipeOnExit wipe(v);
  unpack<12>(v, in);
  // 12-bit values are below 2q, so one conditional subtraction reduces them.
  for (std::size_t i = 0; i < kN; ++i) out.c[i] = sub_q_if_large(static_cast<std::int16_t>(v[i]));
}

bool byte_decode12_reduced(Poly& out, std::span<const std::uint8_t, kPolyBytes> in) noexcept {
  std::array<std::uint16_t, kN> v;
  unpack<12>(v, in);
  std::uint16_t too_large = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    too_large |= static_cast<std::uint16_t>(v[i] >= kQ);
    out.c[i] = static_cast<std::int16_t>(v[i]);
  }
  return too_large == 0;
}

void compress_du(std::span<std::uint8_t, kCompressedUBytes> out, const Poly& a) noexcept {
  compress_pack<kDu>(out, a);
}
void decompress_du(Poly& out, std::span<const std::uint8_t, kCompressedUBytes> in) noexcept {
  unpack_decompress<kDu>(out, in);
}
void compress_dv(std::span<std::uint8_t, kCompressedVBytes> out, const Poly& a) noexcept {
  compress_pack<kDv>(out, a);
}
void decompress_dv(Poly& out, std::span<const std::uint8_t, kCompressedVBytes> in) noexcept {
  unpack_decompress<kDv>(out, in);
}

void message_to_poly(Poly& out, std::span<const std::uint8_t, kMessageBytes> m) noexcept {
  // Decompress_1(b) = b * round(q/2) = b * 1665, as a mask rather than a branch on the bit.
  constexpr std::int16_t kHalfQ = decompress<1>(1);
  static_assert(kHalfQ == (kQ + 1) / 2);
  for (std::size_t i = 0; i < kN; ++i) {
    const auto bit = static_cast<std::int16_t>((m[i / 8] >> (i % 8)) & 1);
    out.c[i] = static_cast<std::int16_t>(-bit & kHalfQ);
  }
}

void poly_to_message(std::span<std::uint8_t, kMessageBytes> m, const Poly& w) noexcept {
  for (std::size_t b = 0; b < kMessageBytes; ++b) {
    std::uint8_t byte = 0;
    for (std::size_t k = 0; k < 8; ++k) byte |= static_cast<std::uint8_t>(compress<1>(w.c[8 * b + k]) << k);
    m[b] = byte;
  }
}

}  // namespace ostrel::crypto::mlkem768
