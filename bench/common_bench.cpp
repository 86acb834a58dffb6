// The common layer's hot paths: minting UUIDs (every permit token does), RFC 3339 text, the
// logging facade with no collector, and the session-state JSON round trip. The UUID pool is
// measured against one getrandom call per UUID, which is what it replaces.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target common_bench && build/bench/common_bench
#include <benchmark/benchmark.h>
#include <sys/random.h>

#include <array>
#include <cstdint>

#include "common/log.hpp"
#include "common/time.hpp"
#include "common/uuid.hpp"
#include "core/action.hpp"
#include "core/invalidation_scope.hpp"

namespace {

using namespace ostrel;

void BM_UuidNewV4Pooled(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(common::Uuid::new_v4());
}
BENCHMARK(BM_UuidNewV4Pooled);

void BM_UuidGetrandomPerCall(benchmark::State& st) {
  std::array<std::uint8_t, 16> b{};
  for (auto _ : st) {
    if (::getrandom(b.data(), b.size(), 0) != 16) st.SkipWithError("getrandom failed");
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_UuidGetrandomPerCall);

void BM_UuidToString(benchmark::State& st) {
  const common::Uuid u = common::Uuid::new_v4();
  for (auto _ : st) benchmark::DoNotOptimize(u.to_string());
}
BENCHMARK(BM_UuidToString);

void BM_UuidParse(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(common::Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8"));
}
BENCHMARK(BM_UuidParse);

void BM_Rfc3339Format(benchmark::State& st) {
  const common::Instant t{1700000000, 123'456'789};
  for (auto _ : st) benchmark::DoNotOptimize(common::format_rfc3339(t));
}
BENCHMARK(BM_Rfc3339Format);

void BM_Rfc3339Parse(benchmark::State& st) {
  for (auto _ : st) benchmark::DoNotOptimize(common::parse_rfc3339("2023-11-14T22:13:20.123456789+01:00"));
}
BENCHMARK(BM_Rfc3339Parse);

void BM_LogEmitWithoutCollector(benchmark::State& st) {
  for (auto _ : st) {
    common::log::emit(common::log::Level::Info, "ostrel_core::gate", "core/src/gate", "evaluated",
                      {{"evaluation_id", "x"}, {"n", std::int64_t{1}}});
  }
}
BENCHMARK(BM_LogEmitWithoutCollector);

core::SessionState sample_session() {
  core::SessionState s = core::SessionState::new_session();
  s.action_count = 42;
  s.action_history = {"read", "write", "payments.refund"};
  s.origin_ip = common::IpAddr::parse("203.0.113.7");
  s.origin_device = core::DeviceFingerprint{"d41d8cd98f00b204", "laptop"};
  s.origin_geo = core::GeoLocation{"US", "CO", "Denver", 39.7392, -104.9903};
  return s;
}

void BM_SessionStateToJson(benchmark::State& st) {
  const core::SessionState s = sample_session();
  for (auto _ : st) benchmark::DoNotOptimize(s.to_json());
}
BENCHMARK(BM_SessionStateToJson);

void BM_SessionStateFromJson(benchmark::State& st) {
  const std::string text = sample_session().to_json();
  for (auto _ : st) benchmark::DoNotOptimize(core::SessionState::from_json(text));
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * text.size()));
}
BENCHMARK(BM_SessionStateFromJson);

void BM_InvalidationScopeFromJson(benchmark::State& st) {
  const std::string text =
      core::InvalidationScope{core::SessionTarget{common::Uuid::new_v4()}, "device changed", "drift"}.to_json();
  for (auto _ : st) benchmark::DoNotOptimize(core::InvalidationScope::from_json(text));
}
BENCHMARK(BM_InvalidationScopeFromJson);

}  // namespace

BENCHMARK_MAIN();
