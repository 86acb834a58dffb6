#include "crypto/rng.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/secure_bytes.hpp"

namespace ostrel::crypto {
namespace {

// Only tests arm the hook; otherwise a draw pays one relaxed load of `g_hook_armed`.
std::atomic<bool> g_hook_armed{false};
std::atomic<std::uint64_t> g_fail_at{0};
std::atomic<std::uint64_t> g_draws{0};

// True when the test hook says this draw fails.
bool injected_failure() noexcept {
  if (!g_hook_armed.load(std::memory_order_relaxed)) return false;
  const std::uint64_t draw = g_draws.fetch_add(1, std::memory_order_relaxed) + 1;
  return draw == g_fail_at.load(std::memory_order_relaxed);
}

std::string errno_text(int err) {
  // strerror is not thread-safe; the GNU strerror_r returns a pointer that may or may not be
  // into our buffer.
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("error ") + std::to_string(err);
}

}  // namespace

common::Result<void, CryptoError> random_bytes(std::span<std::uint8_t> out) {
  if (injected_failure()) {
    common::secure_wipe(out);
    return common::fail(CryptoError{CryptoError::Kind::RandomSource, errno_text(EIO)});
  }
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      common::secure_wipe(out);
      return common::fail(CryptoError{CryptoError::Kind::RandomSource, errno_text(err)});
    }
    filled += static_cast<std::size_t>(n);
  }
  return {};
}

namespace testing {

void arm_random_failure(std::uint64_t fail_at) noexcept {
  g_hook_armed.store(false, std::memory_order_relaxed);
  g_draws.store(0, std::memory_order_relaxed);
  g_fail_at.store(fail_at, std::memory_order_relaxed);
  g_hook_armed.store(true, std::memory_order_seq_cst);
}

void disarm_random_failure() noexcept {
  g_hook_armed.store(false, std::memory_order_seq_cst);
  g_fail_at.store(0, std::memory_order_relaxed);
}

std::uint64_t random_draws() noexcept { return g_draws.load(std::memory_order_relaxed); }

}  // namespace testing
}  // namespace ostrel::crypto
