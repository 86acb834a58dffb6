#include "crypto/mlkem768/kpke.hpp"

#include <algorithm>

#include "common/secure_bytes.hpp"
#include "crypto/keccak.hpp"
#include "crypto/mlkem768/ct.hpp"
#include "crypto/mlkem768/encode.hpp"
#include "crypto/mlkem768/ntt.hpp"
#include "crypto/mlkem768/sample.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

using common::WipeOnExit;

// A_hat[i][j] = SampleNTT(rho || j || i) (Algorithm 13 steps 3-7, Algorithm 14 steps 4-8).
void expand_matrix(PolyMatrix& a_hat, std::span<const std::uint8_t, kSymBytes> rho) noexcept {
  for (std::size_t i = 0; i < kK; ++i)
    for (std::size_t j = 0; j < kK; ++j)
      sample_ntt(a_hat[kK * i + j], rho, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
}

std::array<const Poly*, kK> row(const PolyMatrix& a, std::size_t i) noexcept {
  return {&a[kK * i], &a[kK * i + 1], &a[kK * i + 2]};
}
std::array<const Poly*, kK> column(const PolyMatrix& a, std::size_t j) noexcept {
  return {&a[j], &a[kK + j], &a[2 * kK + j]};
}
std::array<const Poly*, kK> elements(const PolyVec& v) noexcept { return {&v[0], &v[1], &v[2]}; }
static_assert(kK == 3);

}  // namespace

// FIPS 203, Algorithm 13.
void kpke_keygen(std::span<const std::uint8_t, kSymBytes> d, PkePublicKey& pk, PkeSecretKey& sk) noexcept {
  // Step 1: (rho, sigma) = G(d || k), k being the one-byte domain separator of FIPS 203.
  std::array<std::uint8_t, 2 * kSymBytes> rho_sigma;
  WipeOnExit wipe_g(rho_sigma);
  {
    Sha3_512Sponge g;
    const auto k = static_cast<std::uint8_t>(kK);
    g.absorb(d);
    g.absorb(std::span(&k, 1));
    g.squeeze(rho_sigma);
  }
  std::copy_n(rho_sigma.begin(), kSymBytes, pk.rho.begin());
  ct::declassify(pk.rho);  // rho is part of the public key
  const std::span<const std::uint8_t, kSymBytes> sigma(rho_sigma.data() + kSymBytes, kSymBytes);

  expand_matrix(pk.a_hat, pk.rho);  // steps 3-7

  // Steps 2, 8-15: s and e from PRF_eta1(sigma, N) with N counting 0 .. 2k-1.
  PolyVec e;
  WipeOnExit wipe_e(e);
  std::uint8_t n = 0;
  for (auto& s : sk.s_hat) sample_cbd_prf(s, sigma, n++);
  for (auto& p : e) sample_cbd_prf(p, sigma, n++);

  // Steps 16-17.
  for (auto& s : sk.s_hat) ntt(s);
  for (auto& p : e) ntt(p);

  // Step 18: t_hat = A_hat o s_hat + e_hat. The products carry 2^-16, which the conversion to
  // Montgomery form cancels.
  for (std::size_t i = 0; i < kK; ++i) {
    Poly& t = pk.t_hat[i];
    multiply_ntts_acc(t, row(pk.a_hat, i), elements(sk.s_hat));
    poly_to_montgomery(t);
    poly_add(t, e[i]);
    poly_canonical(t);
  }
  ct::declassify(pk.t_hat);  // the public key
}

void encode_public_key(std::span<std::uint8_t, kEncapsulationKeyBytes> out, const PkePublicKey& pk) noexcept {
  for (std::size_t i = 0; i < kK; ++i)
    byte_encode12(std::span<std::uint8_t, kPolyBytes>(out.data() + i * kPolyBytes, kPolyBytes), pk.t_hat[i]);
  std::copy(pk.rho.begin(), pk.rho.end(), out.begin() + kK * kPolyBytes);
}

void encode_secret_key(std::span<std::uint8_t, kPkeSecretKeyBytes> out, const PkeSecretKey& sk) noexcept {
  for (std::size_t i = 0; i < kK; ++i) {
    Poly s = sk.s_hat[i];
    WipeOnExit wipe(s);
    poly_canonical(s);
    byte_encode12(std::span<std::uint8_t, kPolyBytes>(out.data() + i * kPolyBytes, kPolyBytes), s);
  }
}

bool decode_public_key(PkePublicKey& pk, std::span<const std::uint8_t, kEncapsulationKeyBytes> ek) noexcept {
  bool reduced = true;
  for (std::size_t i = 0; i < kK; ++i) {
    reduced &= byte_decode12_reduced(
        pk.t_hat[i], std::span<const std::uint8_t, kPolyBytes>(ek.data() + i * kPolyBytes, kPolyBytes));
  }
  if (!reduced) return false;
  std::copy(ek.begin() + kK * kPolyBytes, ek.end(), pk.rho.begin());
  expand_matrix(pk.a_hat, pk.rho);
  return true;
}

void decode_secret_key(PkeSecretKey& sk, std::span<const std::uint8_t, kPkeSecretKeyBytes> dk) noexcept {
  for (std::size_t i = 0; i < kK; ++i)
    byte_decode12(sk.s_hat[i],
                  std::span<const std::uint8_t, kPolyBytes>(dk.data() + i * kPolyBytes, kPolyBytes));
}

// FIPS 203, Algorithm 14, with steps 2-8 done once by decode_public_key or kpke_keygen.
void kpke_encrypt(std::span<std::uint8_t, kCiphertextBytes> c, const PkePublicKey& pk,
                  std::span<const std::uint8_t, kMessageBytes> m,
                  std::span<const std::uint8_t, kSymBytes> r) noexcept {
  // Every intermediate here is derived from r or m and would reveal them.
  PolyVec y, e1, u;
  Poly e2, mu, v;
  WipeOnExit wipe_y(y), wipe_e1(e1), wipe_u(u);
  WipeOnExit wipe_e2(e2), wipe_mu(mu), wipe_v(v);

  std::uint8_t n = 0;                            // step 1
  for (auto& p : y) sample_cbd_prf(p, r, n++);   // steps 9-12 (eta1)
  for (auto& p : e1) sample_cbd_prf(p, r, n++);  // steps 13-16 (eta2)
  sample_cbd_prf(e2, r, n);                      // step 17
  for (auto& p : y) ntt(p);                      // step 18

  for (std::size_t i = 0; i < kK; ++i) {  // step 19: u = NTT^-1(A_hat^T o y_hat) + e1
    multiply_ntts_acc(u[i], column(pk.a_hat, i), elements(y));
    inv_ntt(u[i]);
    poly_add(u[i], e1[i]);
    poly_canonical(u[i]);
  }
  message_to_poly(mu, m);                                 // step 20
  multiply_ntts_acc(v, elements(pk.t_hat), elements(y));  // step 21: v = NTT^-1(t_hat^T o y_hat) + e2 + mu
  inv_ntt(v);
  poly_add(v, e2);
  poly_add(v, mu);
  poly_canonical(v);

  for (std::size_t i = 0; i < kK; ++i)  // step 22
    compress_du(
        std::span<std::uint8_t, kCompressedUBytes>(c.data() + i * kCompressedUBytes, kCompressedUBytes),
        u[i]);
  compress_dv(
      std::span<std::uint8_t, kCompressedVBytes>(c.data() + kK * kCompressedUBytes, kCompressedVBytes),
      v);  // steps 23-24
}

// FIPS 203, Algorithm 15, with step 5 done once by decode_secret_key or kpke_keygen.
void kpke_decrypt(std::span<std::uint8_t, kMessageBytes> m, const PkeSecretKey& sk,
                  std::span<const std::uint8_t, kCiphertextBytes> c) noexcept {
  PolyVec u;
  Poly v, w;
  WipeOnExit wipe_u(u);
  WipeOnExit wipe_v(v), wipe_w(w);
  for (std::size_t i = 0; i < kK; ++i) {  // steps 1, 3
    decompress_du(u[i], std::span<const std::uint8_t, kCompressedUBytes>(c.data() + i * kCompressedUBytes,
                                                                         kCompressedUBytes));
    ntt(u[i]);
  }
  decompress_dv(v, std::span<const std::uint8_t, kCompressedVBytes>(c.data() + kK * kCompressedUBytes,
                                                                    kCompressedVBytes));  // steps 2, 4
  multiply_ntts_acc(w, elements(sk.s_hat), elements(u));  // step 6: w = v' - NTT^-1(s_hat^T o NTT(u'))
  inv_ntt(w);
  poly_sub(v, w);
  poly_canonical(v);
  poly_to_message(m, v);  // step 7
}

}  // namespace ostrel::crypto::mlkem768
