#pragma once
// Counting of actions per key in a sliding window, behind one small asynchronous contract so
// that a process can count in memory while replicas share their counts through a service.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "runtime/task.hpp"

namespace ostrel::core {

struct RateLimitStoreError {
  enum class Kind { BackendUnavailable, Corrupt, Other };
  Kind kind;
  std::string message;

  static RateLimitStoreError backend_unavailable(std::string m) { return {Kind::BackendUnavailable, std::move(m)}; }
  static RateLimitStoreError corrupt(std::string m) { return {Kind::Corrupt, std::move(m)}; }
  static RateLimitStoreError other(std::string m) { return {Kind::Other, std::move(m)}; }

  // "rate-limit backend unavailable: {}", "rate-limit store corruption: {}", "rate-limit store: {}"
  std::string display() const;
};

// Times are whole seconds since the Unix epoch (UTC); a key is opaque to the store. Shared
// between threads: every implementation allows concurrent calls. A store never answers a count
// it could not establish: failures are errors, never a zero.
class RateLimitStore {
 public:
  using RecordResult = common::Result<void, RateLimitStoreError>;
  using CountResult = common::Result<std::uint64_t, RateLimitStoreError>;

  virtual ~RateLimitStore() = default;

  // Tasks start when awaited, so `key` must stay valid until the task has completed.
  virtual runtime::Task<RecordResult> record(std::string_view key, std::int64_t now) = 0;
  // Timestamps t with now - window_secs < t <= now; 0 for a key never recorded.
  virtual runtime::Task<CountResult> count_in_window(std::string_view key, std::int64_t now,
                                                     std::uint64_t window_secs) = 0;
};

// "{principal id}:{action name}", unescaped: the key the policy engine counts under.
std::string rate_limit_key(std::string_view principal_id, std::string_view action_name);

}  // namespace ostrel::core
