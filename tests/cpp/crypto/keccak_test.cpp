#include "crypto/keccak.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

using testing::to_hex;

std::vector<std::uint8_t> message(std::size_t n) {
  std::vector<std::uint8_t> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<std::uint8_t>(i % 251);
  return m;
}

enum class Fn { Sha3_256, Sha3_512, Shake128, Shake256 };

struct KnownAnswer {
  Fn fn;
  std::size_t in_len;
  std::size_t out_len;
  const char* hex;
};

// Produced by scripts/keccak_answers.py from Python's hashlib; input lengths straddle each rate.
const KnownAnswer kAnswers[] = {
    {Fn::Sha3_256, 0, 32, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
    {Fn::Sha3_256, 1, 32, "5d53469f20fef4f8eab52b88044ede69c77a6a68a60728609fc4a65ff531e7d0"},
    {Fn::Sha3_256, 135, 32, "fded8fd9d6551c601eeb3b7c6bc5e5cfd8aad1d015b7e9aaa9c9b9475231d5e2"},
    {Fn::Sha3_256, 136, 32, "cf3ccff92480a29160c2d38317c430e14749bfee1788106957dfe73f8c4930e5"},
    {Fn::Sha3_256, 137, 32, "ce9d7dc90913ee5d92745019479a5352c6d6279bef18ed07dc0a83ee8084daca"},
    {Fn::Sha3_256, 500, 32, "495689a003b0b1a4ec4572335ed2d96510cac163d6cc7e83daa73d9b555a2fd5"},
    {Fn::Sha3_512, 0, 64,
     "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a615b2123af1f5f94c11e3e9402c3ac558f500199"
     "d95b6d3e301758586281dcd26"},
    {Fn::Sha3_512, 71, 64,
     "3ccc850d53a1287af7b4560b2ef0d43eb5d9a80d62a0e9cf1dbc040135921104d4395168e90bfc871773ebb34bca1bd67056e1c"
     "c7dc7a48ff7c3167d389f117c"},
    {Fn::Sha3_512, 72, 64,
     "5d63f2bbe971a983ac6847480106e4e1264ee3a0befd79954914e1d86e795b2e18238f12fc5e46cb9cc78efdec610a93647cc04"
     "e1c23d8caaa6a58c21dd26c07"},
    {Fn::Sha3_512, 73, 64,
     "921d9b7b2b0f3066a1646dbb058c979cb3925dec0f8c269faaa7f9648e73465ae55ec527257d5d5e1cfdbf5d6799bea1004b618"
     "6f5108c74e3b92fe924166558"},
    {Fn::Sha3_512, 500, 64,
     "f7aca9a50e9bd1207509d43bf9f9dfc980988f2e073b2756b17f003567182174330f2f8d04bd0527fb7f7312c8769362dbcba91"
     "c35f87f25fe0ce5b528a38e4d"},
    {Fn::Shake128, 0, 200,
     "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef263cb1eea988004b93103cfb0aeefd2a686e01fa4"
     "a58e8a3639ca8a1e3f9ae57e235b8cc873c23dc62b8d260169afa2f75ab916a58d974918835d25e6a435085b2badfd6dfaac359"
     "a5efbb7bcc4b59d538df9a04302e10c8bc1cbf1a0b3a5120ea17cda7cfad765f5623474d368ccca8af0007cd9f5e4c849f167a5"
     "80b14aabdefaee7eef47cb0fca9767be1fda69419dfb927e9df07348b196691abaeb580b32def58538b8d23f877"},
    {Fn::Shake128, 167, 200,
     "1e552791cc4e93a0d4a8dc47ae49228c2faa869e40e628f6ace477aec3f1ca7aefe1c1245cf82c265168ad2985121aedd72335a"
     "e1187a36742c746cf2b40cb30b7c994c5ea9e44c40f2014686bc7ab0237ad3973e48dd88d48c8bc8b28be98c7729a946670a078"
     "8211c3b239fdcb95d51b6120463c631286817cda1dbc9f3e3c376e40fc2d6ba3d4df72d12177de6efccb84dd15f9f2687065b8a"
     "d00217c27e75b7d11c5214b731ed3fc45350ef44832dc463c1bddf33486a17f704e858480ad0b318fdc941ef6c6"},
    {Fn::Shake128, 168, 200,
     "f15277eb61c4908d44a2853f3cde071ae2ed7a23461fbe162a1a98cf6875059c06ffeebfca31afd9976e5592a3e7e5e94a665a8"
     "befa4b64a7f089cc0f357240320ad264522532b1759b38ec23b950e7af66e0a7515a7d233174ebb03300ad106b25f5405327efb"
     "384502fcb438f45553e1fed3387262b2641868dc9871903536fcd83d0776558a6efb637c906b17a4bddd9168c14854fd2afc0cb"
     "c09019d044e3a90e321231c3a61f4a0d48742c073be05223df144965cb2ad9fb025f0f1f7f568500936ccceb431"},
    {Fn::Shake128, 169, 200,
     "015be3338c986d9846affa0f94b4afc2a76bc289c709e1a596ec9eccf090a773e4d69101b3a0516bfc556ffb886673b491f4479"
     "26204119fed2933aea2d6091a805c2509e9b3b0e6b2670a436c036049ee97e003772876d06e184ab322b1ae899cfc605fec5edf"
     "e41642829a2dd3ec89c66033ee5132ba179e99a0d9967d49edbd9e05f9887f10740f0808a20a1271f1031a174dcfff1b6e14fec"
     "88077e01f87c28944926abb73c38fa9579350f549a11966fd36750cba97b71d80572865466fcd32822474be4a87"},
    {Fn::Shake256, 0, 150,
     "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762fd75dc4ddd8c0f200cb05019d67b592f6fc821c4"
     "9479ab48640292eacb3b7c4be141e96616fb13957692cc7edd0b45ae3dc07223c8e92937bef84bc0eab862853349ec75546f58f"
     "b7c2775c38462c5010d846c185c15111e595522a6bcd16cf86f3d122109e3b1fdd943b6aec468a2d621a7c06c6a957"},
    {Fn::Shake256, 135, 150,
     "c45dae624ad8a2f5aa7bac9d7557737fd91c96eedb70a6be5574d57a844eade07f4056bf081a1098101cea8132188c422136feb"
     "4687d1e2209f3fd28bedfb8f4468cba8501763511f507c9c14537403bf7804a89607b4c3f5afd484ec0c411c61e61d8784b2a0c"
     "b281ef9f44a4e32732adaba131875b0e34d587d1e63fea83b177a04230d041b8f96e77d6d9a7c142817cbf4cedfa17"},
    {Fn::Shake256, 136, 150,
     "b7ff4073b3f5a8eabd6e17705ca7f6761a31058f9df781a6a47e3a3063b9d67a757e8dbf043dac48d2154e46d59c0b9e8bc36ba"
     "035153691fbe83b9eff5dae4a0aa01d73c984c49adc271297af1baa96931f24ef47a11781fed7722a293e223647e4be704fd5d6"
     "3ee4e15a4a7cf7ad586b561b840e6225e6aae344dbe9a15fb155e4fa2ab7d7df09be06d83195c8892a2e6c5b56dadb"},
    {Fn::Shake256, 137, 150,
     "01d90952c642a5eb2a8fc9d713f843a45d7ac05132dddcb2efc9bebc27e37bcbe42130c36f3540250ab11796980e773683f28d0"
     "7f0f838606fb9c45e452bd38fb9ed42c8994cbad998a1971cf3d7bc763f40cb04fefe876a20c27ece851d489539e1eaa5ecd62b"
     "b20bdad6526819462c6e4efb71a45c5b46dd012647abd1d899a03d1b514fb93828a21bc9368bc24fe63808d6be5672"},
};

std::vector<std::uint8_t> one_shot(Fn fn, std::span<const std::uint8_t> in, std::size_t out_len) {
  std::vector<std::uint8_t> out(out_len);
  switch (fn) {
    case Fn::Sha3_256:
      sha3_256(in, std::span<std::uint8_t, 32>(out.data(), 32));
      break;
    case Fn::Sha3_512:
      sha3_512(in, std::span<std::uint8_t, 64>(out.data(), 64));
      break;
    case Fn::Shake128:
      shake128(in, out);
      break;
    case Fn::Shake256:
      shake256(in, out);
      break;
  }
  return out;
}

// Feeds and drains the sponge in uneven pieces so every partial-block path is taken.
template <class Sponge>
std::vector<std::uint8_t> piecewise(std::span<const std::uint8_t> in, std::size_t out_len, std::size_t step) {
  Sponge s;
  for (std::size_t i = 0; i < in.size(); i += step) s.absorb(in.subspan(i, std::min(step, in.size() - i)));
  std::vector<std::uint8_t> out(out_len);
  for (std::size_t i = 0; i < out_len; i += step + 1)
    s.squeeze(std::span(out).subspan(i, std::min(step + 1, out_len - i)));
  return out;
}

std::vector<std::uint8_t> piecewise(Fn fn, std::span<const std::uint8_t> in, std::size_t out_len,
                                    std::size_t step) {
  switch (fn) {
    case Fn::Sha3_256:
      return piecewise<Sha3_256Sponge>(in, out_len, step);
    case Fn::Sha3_512:
      return piecewise<Sha3_512Sponge>(in, out_len, step);
    case Fn::Shake128:
      return piecewise<Shake128>(in, out_len, step);
    case Fn::Shake256:
      return piecewise<Shake256>(in, out_len, step);
  }
  return {};
}

TEST(Keccak, OneShotMatchesHashlib) {
  for (const auto& a : kAnswers) {
    const auto in = message(a.in_len);
    EXPECT_EQ(to_hex(one_shot(a.fn, in, a.out_len)), a.hex) << "fn " << int(a.fn) << " len " << a.in_len;
  }
}

TEST(Keccak, PiecewiseAbsorbAndSqueezeMatchOneShot) {
  for (const auto& a : kAnswers) {
    const auto in = message(a.in_len);
    for (std::size_t step : {1u, 7u, 8u, 63u, 200u}) {
      EXPECT_EQ(to_hex(piecewise(a.fn, in, a.out_len, step)), a.hex)
          << "fn " << int(a.fn) << " len " << a.in_len << " step " << step;
    }
  }
}

TEST(Keccak, LongSqueezeIsThePrefixOfALongerOne) {
  // SHAKE output is one stream: squeezing 3 blocks then 5 more equals squeezing all at once,
  // including when a call ends exactly on a block boundary.
  const auto in = message(33);
  std::vector<std::uint8_t> whole(168 * 8);
  shake128(in, whole);
  Shake128 s;
  s.absorb(in);
  std::vector<std::uint8_t> parts(whole.size());
  s.squeeze(std::span(parts).first(168 * 3));
  s.squeeze(std::span(parts).subspan(168 * 3));
  EXPECT_EQ(parts, whole);
}

TEST(Keccak, ResetStartsAFreshComputation) {
  const auto in = message(10);
  Shake256 s;
  s.absorb(message(99));
  std::vector<std::uint8_t> junk(5);
  s.squeeze(junk);
  s.reset();
  s.absorb(in);
  std::vector<std::uint8_t> a(64), b(64);
  s.squeeze(a);
  shake256(in, b);
  EXPECT_EQ(a, b);
}

TEST(Keccak, CopyForksTheStream) {
  Shake128 s;
  s.absorb(message(50));
  Shake128 t = s;
  std::vector<std::uint8_t> a(300), b(300);
  s.squeeze(a);
  t.squeeze(b);
  EXPECT_EQ(a, b);
}

TEST(KeccakDeathTest, AbsorbAfterSqueezeStops) {
  Shake128 s;
  std::vector<std::uint8_t> out(1);
  s.squeeze(out);
  const std::uint8_t byte = 0;
  EXPECT_DEATH(s.absorb(std::span(&byte, 1)), "");
}

}  // namespace
}  // namespace ostrel::crypto
