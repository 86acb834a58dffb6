#include "crypto/keccak.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "common/secure_bytes.hpp"

namespace ostrel::crypto {
namespace {

using State = std::array<std::uint64_t, 25>;

// Lane (x, y) lives at index x + 5y (FIPS 202, section 3.1.2).
constexpr std::size_t lane(std::size_t x, std::size_t y) { return x + 5 * y; }

// Rotation offsets of rho, FIPS 202 Algorithm 2: starting at (x, y) = (1, 0), lane number t
// (0..23) is rotated by (t+1)(t+2)/2 mod 64 and (x, y) moves to (y, 2x + 3y mod 5).
constexpr std::array<unsigned, 25> make_rho_offsets() {
  std::array<unsigned, 25> r{};
  std::size_t x = 1, y = 0;
  for (unsigned t = 0; t < 24; ++t) {
    r[lane(x, y)] = ((t + 1) * (t + 2) / 2) % 64;
    const std::size_t nx = y;
    const std::size_t ny = (2 * x + 3 * y) % 5;
    x = nx;
    y = ny;
  }
  return r;
}
constexpr auto kRho = make_rho_offsets();

// rc(t) of FIPS 202 Algorithm 5: the output bit of an 8-bit LFSR with feedback polynomial
// x^8 + x^6 + x^5 + x^4 + 1.
constexpr bool rc_bit(unsigned t) {
  if (t % 255 == 0) return true;
  unsigned r = 0x01;  // R = 10000000 with R[0] as the low bit
  for (unsigned i = 1; i <= t % 255; ++i) {
    const unsigned r8 = (r >> 7) & 1;
    r = (r << 1) & 0xFF;
    r ^= r8 | (r8 << 4) | (r8 << 5) | (r8 << 6);
  }
  return (r & 1) != 0;
}

// Round constants of iota, FIPS 202 Algorithm 6: bit 2^j - 1 of RC[i] is rc(j + 7i).
constexpr std::array<std::uint64_t, 24> make_round_constants() {
  std::array<std::uint64_t, 24> rc{};
  for (unsigned i = 0; i < 24; ++i) {
    for (unsigned j = 0; j <= 6; ++j) {
      if (rc_bit(j + 7 * i)) rc[i] |= std::uint64_t{1} << ((1u << j) - 1);
    }
  }
  return rc;
}
constexpr auto kRoundConstants = make_round_constants();
static_assert(kRoundConstants[0] == 0x0000000000000001ULL);
static_assert(kRoundConstants[23] == 0x8000000080008008ULL);

// pi moves lane (x, y) to (y, 2x + 3y); as a gather, destination (x, y) reads source
// (x + 3y, x) (FIPS 202 Algorithm 3).
constexpr std::array<std::size_t, 25> make_pi_source() {
  std::array<std::size_t, 25> src{};
  for (std::size_t x = 0; x < 5; ++x)
    for (std::size_t y = 0; y < 5; ++y) src[lane(x, y)] = lane((x + 3 * y) % 5, x);
  return src;
}
constexpr auto kPiSource = make_pi_source();

// Lanes are little-endian byte strings (FIPS 202, section B.1).
inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// XORs `in` into the state starting at byte `offset` of its byte string.
void xor_into_state(State& s, std::size_t offset, const std::uint8_t* in, std::size_t len) noexcept {
  while (len > 0 && offset % 8 != 0) {
    s[offset / 8] ^= std::uint64_t{*in++} << (8 * (offset % 8));
    ++offset;
    --len;
  }
  for (; len >= 8; len -= 8, in += 8, offset += 8) s[offset / 8] ^= load_le64(in);
  for (; len > 0; --len, ++offset) s[offset / 8] ^= std::uint64_t{*in++} << (8 * (offset % 8));
}

void read_from_state(const State& s, std::size_t offset, std::uint8_t* out, std::size_t len) noexcept {
  while (len > 0 && offset % 8 != 0) {
    *out++ = static_cast<std::uint8_t>(s[offset / 8] >> (8 * (offset % 8)));
    ++offset;
    --len;
  }
  for (; len >= 8; len -= 8, out += 8, offset += 8) store_le64(out, s[offset / 8]);
  for (; len > 0; --len, ++offset) *out++ = static_cast<std::uint8_t>(s[offset / 8] >> (8 * (offset % 8)));
}

}  // namespace

namespace {

// One round Rnd(A, ir) of FIPS 202 (section 3.3), from `a` into `e`.
[[gnu::always_inline]] inline void keccak_round(const State& a, State& e, std::uint64_t rc) noexcept {
  // theta (Algorithm 1)
  std::uint64_t c[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x)
    c[x] = a[lane(x, 0)] ^ a[lane(x, 1)] ^ a[lane(x, 2)] ^ a[lane(x, 3)] ^ a[lane(x, 4)];
  std::uint64_t d[5];
#pragma GCC unroll 5
  for (std::size_t x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
    // rho and pi (Algorithms 2 and 3) with theta's parity folded into the gather, then chi
    // (Algorithm 4), one output row at a time so that few values are live at once.
#pragma GCC unroll 5
  for (std::size_t y = 0; y < 5; ++y) {
    std::uint64_t b[5];
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) {
      const std::size_t src = kPiSource[lane(x, y)];
      b[x] = std::rotl(a[src] ^ d[src % 5], static_cast<int>(kRho[src]));
    }
#pragma GCC unroll 5
    for (std::size_t x = 0; x < 5; ++x) e[lane(x, y)] = b[x] ^ (~b[(x + 1) % 5] & b[(x + 2) % 5]);
  }
  // iota (Algorithm 6)
  e[0] ^= rc;
}

}  // namespace

// Keccak-p[1600, 24] (FIPS 202, Algorithm 7). Only XOR, AND, NOT and fixed rotations on
// fixed lanes: no data-dependent branch or index, so it is constant time by construction.
// Two rounds per iteration let the state alternate between two arrays without copies; the
// loops inside a round are fully unrolled so the lanes stay in registers where they fit.
void keccak_f1600(std::array<std::uint64_t, 25>& state) noexcept {
  State e;
  for (unsigned round = 0; round < 24; round += 2) {
    keccak_round(state, e, kRoundConstants[round]);
    keccak_round(e, state, kRoundConstants[round + 1]);
  }
  common::secure_wipe(e.data(), sizeof e);
}

template <std::size_t RateBytes, std::uint8_t Domain>
KeccakSponge<RateBytes, Domain>::~KeccakSponge() {
  common::secure_wipe(state_.data(), sizeof state_);
}

template <std::size_t RateBytes, std::uint8_t Domain>
void KeccakSponge<RateBytes, Domain>::reset() {
  common::secure_wipe(state_.data(), sizeof state_);
  pos_ = 0;
  squeezing_ = false;
}

// The sponge construction, FIPS 202 Algorithm 8, taken in pieces: pos_ counts the bytes
// of the current block already absorbed (or, once squeezing, already read).
template <std::size_t RateBytes, std::uint8_t Domain>
void KeccakSponge<RateBytes, Domain>::absorb(std::span<const std::uint8_t> in) {
  // Absorbing after squeezing would silently yield output unrelated to the input; that is a
  // programming error in the caller, never a property of the data, so it stops here.
  if (squeezing_) std::abort();
  const std::uint8_t* p = in.data();
  std::size_t len = in.size();
  while (len > 0) {
    const std::size_t take = std::min(len, RateBytes - pos_);
    xor_into_state(state_, pos_, p, take);
    pos_ += take;
    p += take;
    len -= take;
    if (pos_ == RateBytes) {
      keccak_f1600(state_);
      pos_ = 0;
    }
  }
}

template <std::size_t RateBytes, std::uint8_t Domain>
void KeccakSponge<RateBytes, Domain>::squeeze(std::span<std::uint8_t> out) {
  if (!squeezing_) {
    // pad10*1 (Algorithm 9) after the domain suffix (SHA-3: 01, SHAKE: 1111, FIPS 202
    // section 6), which the Domain byte carries together with the first padding bit.
    const std::uint8_t first = Domain;
    const std::uint8_t last = 0x80;
    xor_into_state(state_, pos_, &first, 1);
    xor_into_state(state_, RateBytes - 1, &last, 1);
    keccak_f1600(state_);
    pos_ = 0;
    squeezing_ = true;
  }
  std::uint8_t* p = out.data();
  std::size_t len = out.size();
  while (len > 0) {
    if (pos_ == RateBytes) {
      keccak_f1600(state_);
      pos_ = 0;
    }
    const std::size_t take = std::min(len, RateBytes - pos_);
    read_from_state(state_, pos_, p, take);
    pos_ += take;
    p += take;
    len -= take;
  }
}

template class KeccakSponge<168, 0x1F>;
template class KeccakSponge<136, 0x1F>;
template class KeccakSponge<136, 0x06>;
template class KeccakSponge<72, 0x06>;

void sha3_256(std::span<const std::uint8_t> in, std::span<std::uint8_t, 32> out) {
  Sha3_256Sponge s;
  s.absorb(in);
  s.squeeze(out);
}

void sha3_512(std::span<const std::uint8_t> in, std::span<std::uint8_t, 64> out) {
  Sha3_512Sponge s;
  s.absorb(in);
  s.squeeze(out);
}

void shake128(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  Shake128 s;
  s.absorb(in);
  s.squeeze(out);
}

void shake256(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  Shake256 s;
  s.absorb(in);
  s.squeeze(out);
}

}  // namespace ostrel::crypto
