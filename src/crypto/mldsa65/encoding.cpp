#include "crypto/mldsa65/encoding.hpp"

#include <algorithm>

#include "crypto/mldsa65/ct.hpp"

namespace ostrel::crypto::mldsa65 {
namespace {

template <std::size_t Bits>
using Packed = std::span<std::uint8_t, packed_poly_bytes(Bits)>;
template <std::size_t Bits>
using PackedIn = std::span<const std::uint8_t, packed_poly_bytes(Bits)>;

// Appends Bits bits of value(w_i) per coefficient, least significant bit first (the bit order
// of BytesToBits and IntegerToBits, FIPS 204 Algorithms 9 to 13). The loops depend only on the
// public widths, so secret coefficients are packed in constant time.
template <std::size_t Bits, class Value>
void pack(const Poly& w, Value value, Packed<Bits> out) noexcept {
  constexpr std::uint64_t kMask = (std::uint64_t{1} << Bits) - 1;
  std::uint64_t acc = 0;
  unsigned have = 0;
  std::size_t o = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    acc |= (static_cast<std::uint64_t>(static_cast<std::uint32_t>(value(w[i]))) & kMask) << have;
    have += Bits;
    for (; have >= 8; have -= 8, acc >>= 8) out[o++] = static_cast<std::uint8_t>(acc);
  }
}

template <std::size_t Bits, class Coeff>
void unpack(PackedIn<Bits> in, Poly& w, Coeff coeff) noexcept {
  constexpr std::uint64_t kMask = (std::uint64_t{1} << Bits) - 1;
  std::uint64_t acc = 0;
  unsigned have = 0;
  std::size_t o = 0;
  for (std::size_t i = 0; i < kN; ++i) {
    for (; have < Bits; have += 8) acc |= static_cast<std::uint64_t>(in[o++]) << have;
    w[i] = coeff(static_cast<std::int32_t>(acc & kMask));
    acc >>= Bits;
    have -= Bits;
  }
}

// SimpleBitPack (Algorithm 16) and BitPack(w, a, b) (Algorithm 17, packing b - w_i), and
// their inverses (Algorithms 18 and 19).
template <std::size_t Bits>
void simple_bit_pack(const Poly& w, Packed<Bits> out) noexcept {
  pack<Bits>(
      w, [](std::int32_t c) { return c; }, out);
}
template <std::size_t Bits>
void bit_pack(const Poly& w, std::int32_t b, Packed<Bits> out) noexcept {
  pack<Bits>(
      w, [b](std::int32_t c) { return b - c; }, out);
}
template <std::size_t Bits>
void simple_bit_unpack(PackedIn<Bits> in, Poly& w) noexcept {
  unpack<Bits>(in, w, [](std::int32_t v) { return v; });
}
template <std::size_t Bits>
void bit_unpack(PackedIn<Bits> in, std::int32_t b, Poly& w) noexcept {
  unpack<Bits>(in, w, [b](std::int32_t v) { return b - v; });
}

// Walks a fixed-size buffer in consecutive fixed-size pieces.
template <class Byte, std::size_t Total>
class Cursor {
 public:
  explicit Cursor(std::span<Byte, Total> buf) : buf_(buf) {}
  template <std::size_t N>
  std::span<Byte, N> take() noexcept {
    auto s = buf_.subspan(pos_).template first<N>();
    pos_ += N;
    return s;
  }
  std::size_t pos() const noexcept { return pos_; }

 private:
  std::span<Byte, Total> buf_;
  std::size_t pos_ = 0;
};

constexpr std::size_t kT1Packed = packed_poly_bytes(kT1Bits);
constexpr std::size_t kT0Packed = packed_poly_bytes(kT0Bits);
constexpr std::size_t kEtaPacked = packed_poly_bytes(kEtaBits);
constexpr std::size_t kZPacked = packed_poly_bytes(kZBits);
constexpr std::int32_t kT0Offset = 1 << (kD - 1);  // b of BitPack(t0, 2^(d-1) - 1, 2^(d-1))

}  // namespace

void pk_encode(std::span<const std::uint8_t, kRhoBytes> rho, const PolyVecK& t1, PublicKeySpan out) noexcept {
  Cursor c(out);
  std::ranges::copy(rho, c.take<kRhoBytes>().begin());                                        // step 1
  for (std::size_t i = 0; i < kK; ++i) simple_bit_pack<kT1Bits>(t1[i], c.take<kT1Packed>());  // steps 2-4
}

void pk_decode(std::span<const std::uint8_t, kPublicKeyBytes> pk, std::span<std::uint8_t, kRhoBytes> rho,
               PolyVecK& t1) noexcept {
  Cursor c(pk);
  std::ranges::copy(c.take<kRhoBytes>(), rho.begin());                                          // step 1
  for (std::size_t i = 0; i < kK; ++i) simple_bit_unpack<kT1Bits>(c.take<kT1Packed>(), t1[i]);  // steps 2-4
}

void sk_encode(const KeyParts& p, SecretKeySpan out) noexcept {
  Cursor c(out);
  std::ranges::copy(p.rho, c.take<kRhoBytes>().begin());  // step 1
  std::ranges::copy(p.key, c.take<kKeyBytes>().begin());
  std::ranges::copy(p.tr, c.take<kTrBytes>().begin());
  for (const Poly& s : p.s1) bit_pack<kEtaBits>(s, kEta, c.take<kEtaPacked>());     // steps 2-4
  for (const Poly& s : p.s2) bit_pack<kEtaBits>(s, kEta, c.take<kEtaPacked>());     // steps 5-7
  for (const Poly& t : p.t0) bit_pack<kT0Bits>(t, kT0Offset, c.take<kT0Packed>());  // steps 8-10
}

bool sk_decode(std::span<const std::uint8_t, kSecretKeyBytes> sk, KeyParts& p) noexcept {
  Cursor c(sk);
  std::ranges::copy(c.take<kRhoBytes>(), p.rho.begin());  // step 1
  std::ranges::copy(c.take<kKeyBytes>(), p.key.begin());
  std::ranges::copy(c.take<kTrBytes>(), p.tr.begin());
  // A coefficient is eta - v for a 4-bit v; v > 2 eta is out of range. Accumulate the sign
  // of 2 eta - v over every field instead of stopping at the first bad one.
  std::int32_t bad = 0;
  const auto eta_coeff = [&bad](std::int32_t v) {
    bad |= 2 * kEta - v;
    return kEta - v;
  };
  for (Poly& s : p.s1) unpack<kEtaBits>(c.take<kEtaPacked>(), s, eta_coeff);    // steps 2-4
  for (Poly& s : p.s2) unpack<kEtaBits>(c.take<kEtaPacked>(), s, eta_coeff);    // steps 5-7
  for (Poly& t : p.t0) bit_unpack<kT0Bits>(c.take<kT0Packed>(), kT0Offset, t);  // steps 8-10
  return ct::declassify_value(bad >> 31) == 0;
}

void sig_encode(std::span<const std::uint8_t, kCTildeBytes> c_tilde, const PolyVecL& z, const PolyVecK& h,
                SignatureSpan out) noexcept {
  Cursor c(out);
  std::ranges::copy(c_tilde, c.take<kCTildeBytes>().begin());                  // step 1
  for (const Poly& zi : z) bit_pack<kZBits>(zi, kGamma1, c.take<kZPacked>());  // steps 2-4
  // Algorithm 20, HintBitPack: the indices of the ones, then the running count per row.
  auto y = c.take<kOmega + kK>();
  std::ranges::fill(y, 0);
  std::size_t index = 0;
  for (std::size_t i = 0; i < kK; ++i) {
    for (std::size_t j = 0; j < kN; ++j) {
      // The caller guarantees at most omega ones; the bound keeps a broken caller in the buffer.
      if (h[i][j] != 0 && index < kOmega) y[index++] = static_cast<std::uint8_t>(j);
    }
    y[kOmega + i] = static_cast<std::uint8_t>(index);
  }
}

bool sig_decode(std::span<const std::uint8_t, kSignatureBytes> sig,
                std::span<std::uint8_t, kCTildeBytes> c_tilde, PolyVecL& z, PolyVecK& h) noexcept {
  Cursor c(sig);
  std::ranges::copy(c.take<kCTildeBytes>(), c_tilde.begin());              // step 1
  for (Poly& zi : z) bit_unpack<kZBits>(c.take<kZPacked>(), kGamma1, zi);  // steps 2-4
  // Algorithm 21, HintBitUnpack. The checks make the encoding of a hint unique, so that a
  // valid signature cannot be re-encoded into a second valid one.
  const auto y = c.take<kOmega + kK>();
  for (Poly& hi : h) hi.fill(0);          // step 1
  std::size_t index = 0;                  // step 2
  for (std::size_t i = 0; i < kK; ++i) {  // step 3
    const std::size_t end = y[kOmega + i];
    if (end < index || end > kOmega) return false;                  // steps 4-5
    const std::size_t first = index;                                // step 6
    for (; index < end; ++index) {                                  // step 7
      if (index > first && y[index - 1] >= y[index]) return false;  // steps 8-10
      h[i][y[index]] = 1;                                           // steps 12-13
    }
  }
  for (std::size_t i = index; i < kOmega; ++i) {  // step 16
    if (y[i] != 0) return false;                  // step 17
  }
  return true;
}

void w1_encode(const PolyVecK& w1, std::span<std::uint8_t, kW1EncodedBytes> out) noexcept {
  Cursor c(out);
  for (const Poly& w : w1) simple_bit_pack<kW1Bits>(w, c.take<packed_poly_bytes(kW1Bits)>());  // steps 1-4
}

}  // namespace ostrel::crypto::mldsa65
