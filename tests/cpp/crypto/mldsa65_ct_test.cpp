// Constant-time check of ML-DSA-65 key generation and signing under Valgrind memcheck: the
// library marks secrets as undefined, so memcheck reports any branch or memory index that
// depends on them. The check runs this test program again under Valgrind, once on a control
// that must be caught (proving the marking is live) and once on the real operations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/mldsa65/ct.hpp"
#include "crypto/mldsa65/mldsa65.hpp"
#include "crypto/vectors.hpp"

namespace ostrel::crypto {
namespace {

// Run only in the child, under memcheck.
TEST(MlDsa65ConstantTime, DISABLED_Operations) {
  std::array<std::uint8_t, kMlDsa65SeedBytes> seed{};
  seed[0] = 0x5A;
  auto key = MlDsa65PrivateKey::from_seed(seed);
  ASSERT_TRUE(key.has_value());
  const std::array<std::uint8_t, 5> msg{'h', 'e', 'l', 'l', 'o'};
  auto det = key->sign_deterministic(msg);
  ASSERT_TRUE(det.has_value());
  auto hedged = key->sign_hedged(msg, msg);
  ASSERT_TRUE(hedged.has_value());
  EXPECT_TRUE(key->public_key().verify(msg, *det).has_value());
  EXPECT_TRUE(key->public_key().verify(msg, *hedged, msg).has_value());

  // The expanded encoding, marked secret as a whole by its holder.
  auto file = ostrel::testing::VectorFile::load("mldsa65_keygen.json");
  auto sk = ostrel::testing::hex_field(*file.cases().begin(), "sk");
  mldsa65::ct::mark_secret(sk.data(), sk.size());
  auto expanded = MlDsa65PrivateKey::from_expanded(sk);
  ASSERT_TRUE(expanded.has_value());
  auto sig = expanded->sign_deterministic(msg);
  ASSERT_TRUE(sig.has_value());
  EXPECT_TRUE(expanded->public_key().verify(msg, *sig).has_value());
}

// Must be reported: a branch on a marked byte.
TEST(MlDsa65ConstantTime, DISABLED_Control) {
  std::array<std::uint8_t, 4> secret{1, 2, 3, 4};
  mldsa65::ct::mark_secret(secret);
  volatile int sink = 0;
  if (secret[0] == 1) sink = 1;
  (void)sink;
}

struct Child {
  int status;
  std::string log;
};

[[maybe_unused]] Child run_under_memcheck(const std::string& test) {
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  const auto log =
      std::filesystem::temp_directory_path() / ("ostrel_mldsa_memcheck_" + std::to_string(::getpid()));
  const std::string cmd = "valgrind -q --error-exitcode=99 --leak-check=no \"" + self.string() +
                          "\" --gtest_also_run_disabled_tests --gtest_filter=MlDsa65ConstantTime." + test +
                          " > \"" + log.string() + "\" 2>&1";
  const int raw = std::system(cmd.c_str());
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  std::filesystem::remove(log);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
}

TEST(MlDsa65ConstantTime, NoBranchOrIndexOnSecretsUnderMemcheck) {
#if defined(__SANITIZE_ADDRESS__) || !defined(OSTREL_CRYPTO_MEMCHECK)
  GTEST_SKIP() << "needs a build without AddressSanitizer and with valgrind/memcheck.h";
#else
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "already under Valgrind";
  if (std::system("valgrind --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
  const Child control = run_under_memcheck("DISABLED_Control");
  ASSERT_EQ(control.status, 99) << "memcheck did not catch a branch on a marked secret:\n" << control.log;
  const Child ops = run_under_memcheck("DISABLED_Operations");
  EXPECT_EQ(ops.status, 0) << ops.log;
#endif
}

}  // namespace
}  // namespace ostrel::crypto
