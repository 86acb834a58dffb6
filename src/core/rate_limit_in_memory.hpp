#pragma once
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/rate_limit.hpp"

namespace ostrel::core {

// How long the in-memory store keeps a key's timestamps, measured back from the timestamp
// just recorded for that key.
inline constexpr std::int64_t RATE_LIMIT_RETENTION_SECS = 86400;

// Counts in process. Each key keeps its timestamps in recording order; `record` prunes that
// key's entries older than the retention, nothing else ever does (no sweeper, no timer). The
// tasks never suspend, so awaiting them costs a call.
class InMemoryRateLimitStore final : public RateLimitStore {
 public:
  InMemoryRateLimitStore() = default;

  runtime::Task<RecordResult> record(std::string_view key, std::int64_t now) override;
  runtime::Task<CountResult> count_in_window(std::string_view key, std::int64_t now,
                                             std::uint64_t window_secs) override;

  // The same operations, completed on the spot.
  RecordResult record_now(std::string_view key, std::int64_t now);
  CountResult count_now(std::string_view key, std::int64_t now, std::uint64_t window_secs) const;

 private:
  friend struct InMemoryRateLimitStoreTestPeer;

  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  using Map = std::unordered_map<std::string, std::vector<std::int64_t>, KeyHash, std::equal_to<>>;

  mutable std::shared_mutex mu_;
  // Set when an update was interrupted (an exception while the map was being changed): the
  // counts can no longer be trusted, so every later call fails instead of answering.
  bool broken_ = false;
  Map counts_;
};

}  // namespace ostrel::core
