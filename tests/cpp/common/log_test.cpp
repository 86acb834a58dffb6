#include "common/log.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace ostrel::common::log {
namespace {

TEST(Log, LevelNames) {
  EXPECT_EQ(level_name(Level::Trace), "TRACE");
  EXPECT_EQ(level_name(Level::Debug), "DEBUG");
  EXPECT_EQ(level_name(Level::Info), "INFO");
  EXPECT_EQ(level_name(Level::Warn), "WARN");
  EXPECT_EQ(level_name(Level::Error), "ERROR");
}

TEST(Log, WithoutCollectorEventsAreDropped) {
  ASSERT_FALSE(enabled());
  emit(Level::Error, "ostrel_core::gate", "core/src/gate", "dropped", {{"n", std::int64_t{1}}});
  ScopedCapture capture;
  EXPECT_TRUE(enabled());
  EXPECT_TRUE(capture.collector().events().empty());
}

TEST(Log, CapturesEventsWithOwnedFieldsAndTheirText) {
  ScopedCapture capture;
  {
    std::string transient = "evaluation-1";
    emit(Level::Warn, "ostrel_core::policy", "core/src/policy/engine", "rule matched",
         {{"id", std::string_view(transient)},
          {"literal", "text"},
          {"signed", -5},
          {"unsigned", std::uint64_t{18446744073709551615u}},
          {"ratio", 0.1},
          {"whole", 10.0},
          {"huge", 1e300},
          {"flag", true},
          {"off", false}});
    transient.assign("overwritten");
  }
  const auto events = capture.collector().take();
  ASSERT_EQ(events.size(), 1u);
  const OwnedEvent& e = events[0];
  EXPECT_EQ(e.level, Level::Warn);
  EXPECT_EQ(e.target, "ostrel_core::policy");
  EXPECT_EQ(e.file, "core/src/policy/engine");
  EXPECT_EQ(e.message, "rule matched");
  ASSERT_EQ(e.fields.size(), 9u);
  const std::pair<const char*, const char*> texts[] = {
      {"id", "evaluation-1"}, {"literal", "text"}, {"signed", "-5"}, {"unsigned", "18446744073709551615"},
      {"ratio", "0.1"},       {"whole", "10"},     {"huge", "1e+300"}, {"flag", "true"}, {"off", "false"},
  };
  for (const auto& [name, text] : texts) {
    const OwnedField* f = e.field(name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f->text(), text) << name;
  }
  EXPECT_TRUE(std::holds_alternative<std::int64_t>(e.field("signed")->value));
  EXPECT_TRUE(std::holds_alternative<std::string>(e.field("literal")->value));
  EXPECT_EQ(e.field("missing"), nullptr);
  EXPECT_TRUE(capture.collector().events().empty());
}

TEST(Log, NestedCapturesRestoreTheOuterCollector) {
  ScopedCapture outer;
  {
    ScopedCapture inner;
    emit(Level::Info, "t", "f", "inner");
    EXPECT_EQ(inner.collector().events().size(), 1u);
  }
  emit(Level::Info, "t", "f", "outer");
  const auto events = outer.collector().events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "outer");
}

// Each collector is freed right after it is replaced; an emit still inside it would be a
// use-after-free, which the sanitizer build reports.
class SlowCollector final : public Collector {
 public:
  void collect(const Event& event) noexcept override {
    for (int i = 0; i < 50; ++i) {
      seen_.fetch_add(event.fields.size() + 1, std::memory_order_relaxed);
    }
    if (!alive_) std::abort();
  }
  ~SlowCollector() override { alive_ = false; }
  std::uint64_t seen() const { return seen_.load(); }

 private:
  std::atomic<std::uint64_t> seen_{0};
  volatile bool alive_ = true;
};

TEST(Log, ReplacingTheCollectorWaitsForEmitsInProgress) {
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([&stop, &started] {
      started.fetch_add(1);
      while (!stop.load(std::memory_order_relaxed)) {
        if (enabled()) emit(Level::Debug, "t", "f", "m", {{"k", std::int64_t{1}}});
      }
    });
  }
  while (started.load() < 2) std::this_thread::yield();
  std::uint64_t total = 0;
  // Enough rounds to overlap many emits; more only while no emit has landed yet.
  for (int round = 0; round < 300 || (total == 0 && round < 100000); ++round) {
    auto c = std::make_unique<SlowCollector>();
    set_collector(c.get());
    std::this_thread::yield();
    set_collector(nullptr);
    total += c->seen();
    c.reset();
  }
  stop = true;
  for (auto& w : workers) w.join();
  EXPECT_FALSE(enabled());
  EXPECT_GT(total, 0u);
}

}  // namespace
}  // namespace ostrel::common::log
