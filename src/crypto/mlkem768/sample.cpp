#include "crypto/mlkem768/sample.hpp"

#include <array>
#include <cstring>

#include "common/secure_bytes.hpp"
#include "crypto/keccak.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

constexpr std::size_t kShake128Rate = 168;
// Three SHAKE128 blocks give 336 candidates; with acceptance 3329/4096 the 256 needed are
// almost always among them, and further blocks are squeezed one at a time when not.
constexpr std::size_t kFirstSqueezeBlocks = 3;

}  // namespace

// FIPS 203, Algorithm 7.
void sample_ntt(Poly& out, std::span<const std::uint8_t, kSymBytes> rho, std::uint8_t j,
                std::uint8_t i) noexcept {
  Shake128 xof;  // step 1
  const std::uint8_t ji[2] = {j, i};
  xof.absorb(rho);  // step 2, B = rho || j || i
  xof.absorb(ji);
  std::array<std::uint8_t, kShake128Rate * kFirstSqueezeBlocks> buf;
  xof.squeeze(buf);
  std::size_t avail = buf.size();
  std::size_t pos = 0;
  std::size_t n = 0;  // step 3
  while (n < kN) {    // step 4
    if (pos + 3 > avail) {
      // The rate is a multiple of 3, so candidates never straddle blocks.
      static_assert(kShake128Rate % 3 == 0);
      xof.squeeze(std::span(buf).first(kShake128Rate));
      avail = kShake128Rate;
      pos = 0;
    }
    const std::uint8_t* c = buf.data() + pos;  // step 5
    pos += 3;
    const std::int32_t d1 = c[0] + 256 * (c[1] & 0x0F);                 // step 6
    const std::int32_t d2 = (c[1] >> 4) + 16 * c[2];                    // step 7
    if (d1 < kQ) out.c[n++] = static_cast<std::int16_t>(d1);            // steps 8-11
    if (d2 < kQ && n < kN) out.c[n++] = static_cast<std::int16_t>(d2);  // steps 12-15
  }
}

// FIPS 203, Algorithm 8 for eta = 2, eight coefficients per 32-bit word: each coefficient is
// (b0 + b1) - (b2 + b3) over four consecutive bits (steps 2-4), computed for all eight at once
// by adding the even bits to the odd bits.
void sample_cbd2(Poly& out, std::span<const std::uint8_t, kCbdBytes> b) noexcept {
  static_assert(kEta1 == 2 && kCbdBytes * 8 == 4 * kN);
  for (std::size_t w = 0; w < kN / 8; ++w) {
    const std::uint32_t t =
        static_cast<std::uint32_t>(b[4 * w]) | static_cast<std::uint32_t>(b[4 * w + 1]) << 8 |
        static_cast<std::uint32_t>(b[4 * w + 2]) << 16 | static_cast<std::uint32_t>(b[4 * w + 3]) << 24;
    const std::uint32_t pair_sums = (t & 0x55555555u) + ((t >> 1) & 0x55555555u);
    for (std::size_t k = 0; k < 8; ++k) {
      const auto x = static_cast<std::int16_t>((pair_sums >> (4 * k)) & 3);
      const auto y = static_cast<std::int16_t>((pair_sums >> (4 * k + 2)) & 3);
      out.c[8 * w + k] = static_cast<std::int16_t>(x - y);
    }
  }
}

// PRF_eta(s, b) = SHAKE256(s || b, 64 eta bytes) (FIPS 203, equation 4.3), then Algorithm 8.
void sample_cbd_prf(Poly& out, std::span<const std::uint8_t, kSymBytes> s, std::uint8_t n) noexcept {
  std::array<std::uint8_t, kCbdBytes> prf;
  common::WipeOnExit wipe(prf);
  Shake256 h;
  h.absorb(s);
  h.absorb(std::span(&n, 1));
  h.squeeze(prf);
  sample_cbd2(out, prf);
}

}  // namespace ostrel::crypto::mlkem768
