#include "core/rate_limit_in_memory.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

namespace ostrel::core {
namespace {

RateLimitStoreError poisoned() { return RateLimitStoreError::other("rate-limit lock poisoned"); }

// a - b, or the smallest value when that would go below the 64-bit range: a window reaching
// past the beginning of time counts everything up to now.
std::int64_t saturating_sub(std::int64_t a, std::uint64_t b) noexcept {
  std::int64_t out = 0;
  if (b > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
      __builtin_sub_overflow(a, static_cast<std::int64_t>(b), &out)) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return out;
}

}  // namespace

RateLimitStore::RecordResult InMemoryRateLimitStore::record_now(std::string_view key, std::int64_t now) {
  std::unique_lock lock(mu_);
  if (broken_) return common::fail(poisoned());
  try {
    auto it = counts_.find(key);
    if (it == counts_.end()) it = counts_.emplace(std::string(key), std::vector<std::int64_t>{}).first;
    std::vector<std::int64_t>& stamps = it->second;
    stamps.push_back(now);
    // Entries at or before now - retention go; when that bound lies below the 64-bit range
    // nothing can be that old.
    std::int64_t oldest_dropped = 0;
    if (!__builtin_sub_overflow(now, RATE_LIMIT_RETENTION_SECS, &oldest_dropped)) {
      std::erase_if(stamps, [&](std::int64_t t) { return t <= oldest_dropped; });
    }
  } catch (...) {
    broken_ = true;
    throw;
  }
  return {};
}

RateLimitStore::CountResult InMemoryRateLimitStore::count_now(std::string_view key, std::int64_t now,
                                                             std::uint64_t window_secs) const {
  std::shared_lock lock(mu_);
  if (broken_) return common::fail(poisoned());
  const auto it = counts_.find(key);
  if (it == counts_.end()) return std::uint64_t{0};
  const std::int64_t lower = saturating_sub(now, window_secs);
  std::uint64_t n = 0;
  for (const std::int64_t t : it->second) n += static_cast<std::uint64_t>(lower < t && t <= now);
  return n;
}

runtime::Task<RateLimitStore::RecordResult> InMemoryRateLimitStore::record(std::string_view key,
                                                                           std::int64_t now) {
  co_return record_now(key, now);
}

runtime::Task<RateLimitStore::CountResult> InMemoryRateLimitStore::count_in_window(std::string_view key,
                                                                                   std::int64_t now,
                                                                                   std::uint64_t window_secs) {
  co_return count_now(key, now, window_secs);
}

}  // namespace ostrel::core
