// The policy engine's hot path and its reload.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target policy_bench && build/bench/policy_bench
//
// Evaluate/N: N rules of one condition each, only the last rule matches, so N conditions are
// examined per evaluation ("ns/condition"). Every heap allocation of the program goes through the
// counting operator new of alloc_counter.hpp: "allocs/eval" shows what an evaluation costs beyond
// its verdict.
// SlotRead compares the engine's hazard-protected slot with std::atomic<std::shared_ptr> when
// several threads read at once. ReloadUnderLoad reloads a 1,000-rule set while two threads
// evaluate and reports the slowest evaluation seen with and without reloads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/policy/policy_engine.hpp"
#include "core/policy/snapshot_slot.hpp"
#include "core/rate_limit_in_memory.hpp"
#include "runtime/block_on.hpp"

#include "alloc_counter.hpp"

namespace {

using ostrel::bench::allocations;
using namespace ostrel;
using core::ActionContext;
using core::PolicyEngine;
using core::PolicySet;

PolicySet rules(int n, const std::string& last_condition) {
  std::string text;
  for (int i = 0; i + 1 < n; ++i) {
    text += "[[policy]]\nname = \"rule-" + std::to_string(i) + "\"\neffect = \"refuse\"\n";
    text += "conditions = [{ identity_id = \"principal-" + std::to_string(i) + "\" }]\n";
  }
  text += "[[policy]]\nname = \"last\"\neffect = \"permit\"\nconditions = [" + last_condition + "]\n";
  auto set = PolicySet::from_toml(text);
  if (!set) std::abort();
  return std::move(*set);
}

ActionContext context(std::string principal) {
  return ActionContext::create(core::Principal{std::move(principal), core::PrincipalKind::Agent, {"ops"}},
                               core::ActionDescriptor{"read", std::nullopt, {}},
                               core::SessionState::new_session(), core::EnvContext{});
}

core::Verdict evaluate(const PolicyEngine& e, const ActionContext& ctx) {
  auto v = runtime::block_on(e.evaluate(ctx));
  if (!v || !std::holds_alternative<core::Permit>(*v)) std::abort();
  return std::move(*v);
}

void BM_Evaluate(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const PolicyEngine engine(rules(n, "{ identity_id = \"alice\" }"));
  const auto ctx = context("alice");
  evaluate(engine, ctx);  // warms the frame pool
  const std::size_t before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(evaluate(engine, ctx));
  const double evals = static_cast<double>(state.iterations());
  state.counters["allocs/eval"] = static_cast<double>(allocations.load() - before) / evals;
  state.counters["ns/condition"] =
      benchmark::Counter(evals * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Evaluate)->Arg(10)->Arg(100)->Arg(1000);

// Parameter bounds: a map lookup and a float comparison per condition.
void BM_EvaluateParamRules(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string text;
  for (int i = 0; i + 1 < n; ++i) {
    text += "[[policy]]\nname = \"rule-" + std::to_string(i) + "\"\neffect = \"refuse\"\n";
    text += "conditions = [{ param_min = { field = \"amount\", min = " + std::to_string(1000 + i) + " } }]\n";
  }
  text += "[[policy]]\nname = \"last\"\neffect = \"permit\"\nconditions = []\n";
  const PolicyEngine engine(std::move(*PolicySet::from_toml(text)));
  auto ctx = context("alice");
  ctx.action.params["amount"] = 10.0;
  ctx.action.params["currency"] = "EUR";
  evaluate(engine, ctx);
  const std::size_t before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(evaluate(engine, ctx));
  const double evals = static_cast<double>(state.iterations());
  state.counters["allocs/eval"] = static_cast<double>(allocations.load() - before) / evals;
  state.counters["ns/condition"] =
      benchmark::Counter(evals * (n - 1), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EvaluateParamRules)->Arg(100)->Arg(1000);

// One rate-limited rule: a record and a count in the in-memory store per evaluation. The
// principals rotate over 4,096 keys so that each key's list stays short, as in real traffic.
void BM_EvaluateRateLimited(benchmark::State& state) {
  const PolicyEngine engine(rules(1, "{ rate_limit = { max = 4000000000, window = \"1m\" } }"));
  std::vector<ActionContext> ctxs;
  for (int i = 0; i < 4096; ++i) ctxs.push_back(context("principal-" + std::to_string(i)));
  for (const auto& c : ctxs) evaluate(engine, c);  // every key exists: no insertion while timed
  std::size_t i = 0;
  const std::size_t before = allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(evaluate(engine, ctxs[i++ & 4095]));
  state.counters["allocs/eval"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EvaluateRateLimited)->Iterations(409600);

struct Payload {
  std::vector<int> data = std::vector<int>(16, 1);
};

core::SnapshotSlot<Payload> g_hazard_slot(std::make_shared<const Payload>());
std::atomic<std::shared_ptr<const Payload>> g_atomic_slot(std::make_shared<const Payload>());

void BM_SlotReadHazard(benchmark::State& state) {
  for (auto _ : state) {
    const auto r = g_hazard_slot.read();
    benchmark::DoNotOptimize(r->data.data());
  }
}
BENCHMARK(BM_SlotReadHazard)->Threads(1)->Threads(2);

void BM_SlotReadAtomicSharedPtr(benchmark::State& state) {
  for (auto _ : state) {
    const auto p = g_atomic_slot.load();
    benchmark::DoNotOptimize(p->data.data());
  }
}
BENCHMARK(BM_SlotReadAtomicSharedPtr)->Threads(1)->Threads(2);

// Two threads evaluate a 1,000-rule set without pause; the benchmark thread reloads it. Reported:
// the reload time, and the slowest single evaluation seen by the evaluators while reloads ran
// ("eval max ns") next to the slowest seen in a quiet phase of the same length ("quiet max ns").
void BM_ReloadUnderLoad(benchmark::State& state) {
  PolicyEngine engine(rules(1000, "{ identity_id = \"alice\" }"));
  const PolicySet fresh = rules(1000, "{ identity_id = \"alice\" }");
  std::atomic<int> phase{0};  // 0 quiet, 1 reloading, 2 stop
  std::atomic<std::int64_t> worst[2] = {0, 0};
  std::atomic<long> evals[2] = {0, 0};
  std::vector<std::thread> evaluators;
  for (int t = 0; t < 2; ++t) {
    evaluators.emplace_back([&] {
      const auto ctx = context("alice");
      for (;;) {
        const int p = phase.load(std::memory_order_acquire);
        if (p == 2) return;
        const auto start = std::chrono::steady_clock::now();
        evaluate(engine, ctx);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        std::int64_t seen = worst[p].load(std::memory_order_relaxed);
        while (ns > seen && !worst[p].compare_exchange_weak(seen, ns)) {
        }
        evals[p].fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  const auto quiet_start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto quiet = std::chrono::steady_clock::now() - quiet_start;
  phase.store(1, std::memory_order_release);
  const auto busy_start = std::chrono::steady_clock::now();
  for (auto _ : state) engine.reload(fresh);
  const auto busy = std::chrono::steady_clock::now() - busy_start;
  phase.store(2, std::memory_order_release);
  for (auto& th : evaluators) th.join();
  state.counters["eval max ns"] = static_cast<double>(worst[1].load());
  state.counters["quiet max ns"] = static_cast<double>(worst[0].load());
  state.counters["evals/s reloading"] =
      static_cast<double>(evals[1].load()) / std::chrono::duration<double>(busy).count();
  state.counters["evals/s quiet"] = static_cast<double>(evals[0].load()) / std::chrono::duration<double>(quiet).count();
}
BENCHMARK(BM_ReloadUnderLoad)->Iterations(200)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
