// Secret-independence of ML-KEM-768 under Valgrind memcheck. The library marks its secrets
// (seed, s_hat, z, m and all that derives from them) as undefined memory; memcheck then reports
// every conditional jump or address computed from them. The first test runs the operations on
// secret inputs; the second re-runs this very program under memcheck on the first and fails on
// any report.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/mlkem768/ct.hpp"
#include "crypto/mlkem768/mlkem768.hpp"

namespace ostrel::crypto::mlkem768 {
namespace {

TEST(MlKem768ConstantTime, OperationsOnSecretInputs) {
  std::vector<std::uint8_t> seed(kSeedBytes);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(3 * i + 1);
  ct::mark_secret(seed.data(), seed.size());
  auto dk = DecapsulationKey::from_seed(seed);
  ASSERT_TRUE(dk);

  std::array<std::uint8_t, kMessageBytes> m;
  m.fill(0xA5);
  ct::mark_secret(m);
  const auto enc = dk->encapsulation_key().encapsulate_internal(m);
  const auto fresh = dk->encapsulation_key().encapsulate();
  ASSERT_TRUE(fresh);

  auto genuine = dk->decapsulate(enc.ciphertext);
  ASSERT_TRUE(genuine);
  EXPECT_EQ(std::vector(genuine->span().begin(), genuine->span().end()),
            std::vector(enc.shared_secret.span().begin(), enc.shared_secret.span().end()));
  auto altered_c = enc.ciphertext;
  altered_c[100] ^= 0x10;
  auto rejected = dk->decapsulate(altered_c);
  ASSERT_TRUE(rejected);
  EXPECT_NE(std::vector(rejected->span().begin(), rejected->span().end()),
            std::vector(enc.shared_secret.span().begin(), enc.shared_secret.span().end()));

  auto expanded = dk->expanded_bytes();
  auto reloaded = DecapsulationKey::from_expanded(expanded.span());
  ASSERT_TRUE(reloaded);
  auto again = reloaded->decapsulate(fresh->ciphertext);
  ASSERT_TRUE(again);
  EXPECT_EQ(std::vector(again->span().begin(), again->span().end()),
            std::vector(fresh->shared_secret.span().begin(), fresh->shared_secret.span().end()));
}

TEST(MlKem768ConstantTime, NoSecretDependentBranchUnderMemcheck) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "memcheck cannot run a program built with AddressSanitizer";
#elif !defined(OSTREL_CRYPTO_MEMCHECK)
  FAIL() << "built without <valgrind/memcheck.h>: install Debian's valgrind package";
#else
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "already under Valgrind";
  const std::string cmd =
      "valgrind --tool=memcheck --error-exitcode=99 --quiet /proc/" + std::to_string(::getpid()) +
      "/exe --gtest_filter=MlKem768ConstantTime.OperationsOnSecretInputs --gtest_brief=1 > /dev/null 2> " +
      ::testing::TempDir() + "mlkem768_memcheck.txt";
  const int status = std::system(cmd.c_str());
  ASSERT_NE(status, -1);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "memcheck reported secret-dependent behaviour (or valgrind is missing); see " << ::testing::TempDir()
      << "mlkem768_memcheck.txt";
#endif
}

}  // namespace
}  // namespace ostrel::crypto::mlkem768
