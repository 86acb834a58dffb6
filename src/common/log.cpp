#include "common/log.hpp"

#include <atomic>
#include <charconv>
#include <thread>
#include <utility>

namespace ostrel::common::log {
namespace {

std::atomic<Collector*> g_collector{nullptr};

// Replacing the collector must wait for every emit still using the old one. Emitters announce
// themselves in the counter of the current epoch; a replacement advances the epoch and waits only
// for the old epoch's counter to drain, so a stream of new emits cannot starve it.
std::atomic<std::uint64_t> g_epoch{0};
std::atomic<std::uint64_t> g_active[2];
std::mutex g_replace_mu;

class ActiveEmit {
 public:
  ActiveEmit() {
    for (;;) {
      epoch_ = g_epoch.load(std::memory_order_seq_cst);
      g_active[epoch_ & 1].fetch_add(1, std::memory_order_seq_cst);
      // Counted under an epoch that is still current: a replacement that starts after this point
      // stores its collector first, so the load that follows sees either the collector it will
      // wait for or the new one.
      if (g_epoch.load(std::memory_order_seq_cst) == epoch_) break;
      g_active[epoch_ & 1].fetch_sub(1, std::memory_order_release);
    }
  }
  ~ActiveEmit() { g_active[epoch_ & 1].fetch_sub(1, std::memory_order_release); }
  ActiveEmit(const ActiveEmit&) = delete;
  ActiveEmit& operator=(const ActiveEmit&) = delete;

 private:
  std::uint64_t epoch_ = 0;
};

void append_number(std::string& out, auto v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, end);
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Trace:
      return "TRACE";
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
    case Level::Warn:
      return "WARN";
    case Level::Error:
      return "ERROR";
  }
  return "UNKNOWN";
}

Collector* exchange_collector(Collector* collector) {
  std::lock_guard lock(g_replace_mu);
  Collector* previous = g_collector.exchange(collector, std::memory_order_seq_cst);
  const std::uint64_t old_epoch = g_epoch.fetch_add(1, std::memory_order_seq_cst);
  while (g_active[old_epoch & 1].load(std::memory_order_acquire) != 0) std::this_thread::yield();
  return previous;
}

void set_collector(Collector* collector) { (void)exchange_collector(collector); }

bool enabled() noexcept { return g_collector.load(std::memory_order_acquire) != nullptr; }

void emit(Level level, std::string_view target, std::string_view file, std::string_view message,
          std::initializer_list<Field> fields) {
  if (g_collector.load(std::memory_order_relaxed) == nullptr) return;
  ActiveEmit active;
  Collector* collector = g_collector.load(std::memory_order_seq_cst);
  if (collector == nullptr) return;
  collector->collect(Event{level, target, file, message, std::span<const Field>(fields.begin(), fields.size())});
}

std::string OwnedField::text() const {
  std::string out;
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          out = v;
        } else if constexpr (std::is_same_v<T, bool>) {
          out = v ? "true" : "false";
        } else {
          append_number(out, v);  // floats: the shortest text that reads back to the same value
        }
      },
      value);
  return out;
}

const OwnedField* OwnedEvent::field(std::string_view name) const {
  for (const auto& f : fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void CapturingCollector::collect(const Event& event) noexcept {
  OwnedEvent owned{event.level, std::string(event.target), std::string(event.file), std::string(event.message),
                   {}};
  owned.fields.reserve(event.fields.size());
  for (const Field& f : event.fields) {
    OwnedField of{std::string(f.name), {}};
    std::visit(
        [&of](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::string_view>) {
            of.value = std::string(v);
          } else {
            of.value = v;
          }
        },
        f.value);
    owned.fields.push_back(std::move(of));
  }
  std::lock_guard lock(mu_);
  events_.push_back(std::move(owned));
}

std::vector<OwnedEvent> CapturingCollector::events() const {
  std::lock_guard lock(mu_);
  return events_;
}

std::vector<OwnedEvent> CapturingCollector::take() {
  std::lock_guard lock(mu_);
  return std::exchange(events_, {});
}

void CapturingCollector::clear() {
  std::lock_guard lock(mu_);
  events_.clear();
}

ScopedCapture::ScopedCapture() { previous_ = exchange_collector(&collector_); }

ScopedCapture::~ScopedCapture() { set_collector(previous_); }

}  // namespace ostrel::common::log
