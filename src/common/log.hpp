#pragma once
// Structured logging facade. Components emit events (level, target, source file, fixed message,
// named fields) to a process-wide collector. With no collector installed an event costs one
// atomic load: call sites test `enabled()` before formatting any field.
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrel::common::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };
std::string_view level_name(Level level);  // "TRACE", "DEBUG", "INFO", "WARN", "ERROR"

using FieldValue = std::variant<std::string_view, std::int64_t, std::uint64_t, double, bool>;

struct Field {
  std::string_view name;
  FieldValue value;
};

struct Event {
  Level level;
  std::string_view target;   // e.g. "ostrel_core::gate"
  std::string_view file;     // e.g. "core/src/gate"
  std::string_view message;  // a fixed text
  std::span<const Field> fields;
};

class Collector {
 public:
  virtual ~Collector() = default;
  // Called from any thread, possibly concurrently; must not emit events itself.
  virtual void collect(const Event& event) noexcept = 0;
};

// Installs (or with nullptr removes) the process-wide collector. Returns once no emit still
// uses the previous collector, so the caller may then destroy it.
void set_collector(Collector* collector);
// As set_collector, returning the collector that was installed before.
Collector* exchange_collector(Collector* collector);
bool enabled() noexcept;

void emit(Level level, std::string_view target, std::string_view file, std::string_view message,
          std::initializer_list<Field> fields = {});

// A collector that keeps every event, for tests.
struct OwnedField {
  std::string name;
  std::variant<std::string, std::int64_t, std::uint64_t, double, bool> value;
  std::string text() const;  // the value as display text
};
struct OwnedEvent {
  Level level;
  std::string target;
  std::string file;
  std::string message;
  std::vector<OwnedField> fields;
  const OwnedField* field(std::string_view name) const;
};

class CapturingCollector final : public Collector {
 public:
  void collect(const Event& event) noexcept override;
  std::vector<OwnedEvent> events() const;  // a snapshot
  std::vector<OwnedEvent> take();           // the events so far, clearing them
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<OwnedEvent> events_;
};

// Installs a CapturingCollector for the lifetime of this object, then puts back the collector
// that was installed before.
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  CapturingCollector& collector() { return collector_; }

 private:
  CapturingCollector collector_;
  Collector* previous_ = nullptr;
};

}  // namespace ostrel::common::log
