// The gate's hot path and invalidation publishing.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target gate_bench && build/bench/gate_bench
//
// Counters:
//   allocs/eval, allocs/publish  heap allocations per call in the steady state (every operator
//                                new of the program is counted)
//   handoffs/eval                block_on waits per evaluation, i.e. times the calling thread had
//                                to sleep while a runtime worker carried the evaluation on
//   off-thread/eval              evaluator calls that ran on another thread than the caller's
// The gate itself is expected at zero hand-offs with evaluators that never suspend, and its
// allocations at what the evaluators and the token need (none with short names: frames are
// pooled, UUIDs come from a pool, strings fit their inline buffer).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/drift/drift_evaluator.hpp"
#include "core/gate.hpp"
#include "core/invalidation/in_memory_broadcaster.hpp"
#include "core/invalidation/listener.hpp"
#include "core/invariant/invariant_set.hpp"
#include "core/policy/policy_engine.hpp"
#include "runtime/block_on.hpp"
#include "runtime/runtime.hpp"

#include "alloc_counter.hpp"

namespace {

using ostrel::bench::allocations;
using namespace ostrel;
using core::ActionContext;
using core::Gate;
using core::Verdict;

std::atomic<std::size_t> waits{0};
std::atomic<std::size_t> off_thread{0};
thread_local bool is_caller = false;

void* count_wait() noexcept {
  waits.fetch_add(1, std::memory_order_relaxed);
  return nullptr;
}
void after_wait(void*) noexcept {}

runtime::Runtime& shared() {
  auto rt = runtime::runtime();
  if (!rt) {
    std::fprintf(stderr, "%s\n", rt.error().display().c_str());
    std::abort();
  }
  return **rt;
}

// Permits like the real evaluators do: with a token of its own (which the gate discards).
class Permitter final : public core::Evaluator {
 public:
  explicit Permitter(std::uint32_t priority) : priority_(priority) {}
  std::string_view name() const override { return "permitter"; }
  std::uint32_t priority() const override { return priority_; }
  runtime::Task<Verdict> evaluate(const ActionContext& ctx) const override {
    if (!is_caller) off_thread.fetch_add(1, std::memory_order_relaxed);
    co_return core::Permit{core::PermitToken::mint(ctx.evaluation_id, ctx.action.name)};
  }

 private:
  std::uint32_t priority_;
};

ActionContext context() {
  return ActionContext::create(core::Principal{"agent-7", core::PrincipalKind::Agent, {"ops"}},
                               core::ActionDescriptor{"read", std::nullopt, {}}, core::SessionState::new_session(),
                               core::EnvContext{});
}

void run_gate(benchmark::State& st, const Gate& gate) {
  runtime::set_blocking_hooks({&count_wait, &after_wait});
  is_caller = true;
  const ActionContext ctx = context();
  for (int i = 0; i < 16; ++i) benchmark::DoNotOptimize(runtime::block_on(gate.evaluate(ctx)));  // warm pools
  const std::size_t allocs_before = allocations.load();
  const std::size_t waits_before = waits.load();
  const std::size_t off_before = off_thread.load();
  benchmark::IterationCount permits = 0;
  for (auto _ : st) {
    auto v = runtime::block_on(gate.evaluate(ctx));
    permits += v && std::holds_alternative<core::Permit>(*v);
    benchmark::DoNotOptimize(v);
  }
  const auto n = static_cast<double>(st.iterations());
  if (permits != st.iterations()) st.SkipWithError("an evaluation did not permit");
  st.counters["allocs/eval"] = static_cast<double>(allocations.load() - allocs_before) / n;
  st.counters["handoffs/eval"] = static_cast<double>(waits.load() - waits_before) / n;
  st.counters["off-thread/eval"] = static_cast<double>(off_thread.load() - off_before) / n;
  runtime::set_blocking_hooks({});
}

// The gate's own share: the started/passed path and one token, with no evaluator.
void BM_GateEvaluateEmptyChain(benchmark::State& st) { run_gate(st, Gate::create({}, false)); }
BENCHMARK(BM_GateEvaluateEmptyChain);

// The gate alone: three evaluators that permit at once.
void BM_GateEvaluateThreePermitters(benchmark::State& st) {
  const Gate gate = Gate::create({std::make_shared<Permitter>(150), std::make_shared<Permitter>(50),
                                  std::make_shared<Permitter>(100)},
                                 false);
  run_gate(st, gate);
}
BENCHMARK(BM_GateEvaluateThreePermitters);

// The chain a Python Gate assembles: one permitting rule, the four drift detectors, one invariant.
void BM_GateEvaluateAssembledChain(benchmark::State& st) {
  auto policies = core::PolicySet::from_toml(
      "[[policy]]\nname = \"agents read\"\neffect = \"permit\"\n"
      "conditions = [{ identity_kind = \"agent\" }, { action = \"read\" }]\n");
  if (!policies) std::abort();
  const core::ParamLimit limit{"cap", "amount", 100.0};
  const Gate gate = Gate::create({std::make_shared<core::PolicyEngine>(std::move(*policies)),
                                  core::make_gate_drift_evaluator(std::nullopt),
                                  core::make_gate_invariant_set(std::span(&limit, 1), std::nullopt)},
                                 false);
  run_gate(st, gate);
}
BENCHMARK(BM_GateEvaluateAssembledChain);

core::InvalidationScope sample_scope() {
  return core::InvalidationScope{core::PrincipalTarget{"agent-7"}, "drift", "manual"};
}

// Subscriptions that are not waiting (their listeners are busy elsewhere): the ring fills, then
// every publish overwrites the oldest slot.
void BM_PublishIdleSubscribers(benchmark::State& st) {
  auto b = core::InMemoryInvalidationBroadcaster::with_capacity();
  std::vector<core::InvalidationSubscription> subs;
  for (int i = 0; i < st.range(0); ++i) subs.push_back(b->subscribe());
  const core::InvalidationScope scope = sample_scope();
  for (int i = 0; i < 2048; ++i) (void)runtime::block_on(b->publish(scope));
  const std::size_t before = allocations.load();
  for (auto _ : st) {
    auto r = runtime::block_on(b->publish(scope));
    benchmark::DoNotOptimize(r);
  }
  st.counters["allocs/publish"] = static_cast<double>(allocations.load() - before) / static_cast<double>(st.iterations());
}
BENCHMARK(BM_PublishIdleSubscribers)->Arg(1)->Arg(10)->Arg(100);

runtime::Task<void> count_scope(std::atomic<std::uint64_t>* seen) {
  seen->fetch_add(1, std::memory_order_relaxed);
  co_return;
}

// Listener tasks waiting for the next scope: a publish that finds them waiting hands them to a
// worker as one batch. The time is the publisher's; the listeners run on the workers.
void BM_PublishToWaitingListeners(benchmark::State& st) {
  std::atomic<std::uint64_t> seen{0};
  std::vector<runtime::JoinHandle> handles;
  {
    auto b = core::InMemoryInvalidationBroadcaster::with_capacity();
    for (int i = 0; i < st.range(0); ++i) {
      auto h = core::spawn_invalidation_listener(shared(), *b,
                                                 [&seen](core::InvalidationScope) { return count_scope(&seen); });
      if (!h) std::abort();
      handles.push_back(std::move(*h));
    }
    const core::InvalidationScope scope = sample_scope();
    for (auto _ : st) {
      auto r = runtime::block_on(b->publish(scope));
      benchmark::DoNotOptimize(r);
    }
  }
  for (auto& h : handles) {
    if (!h.wait_finished(std::chrono::seconds(30))) std::abort();
  }
  st.counters["delivered/publish"] = static_cast<double>(seen.load()) / static_cast<double>(st.iterations()) /
                                     static_cast<double>(st.range(0));
}
BENCHMARK(BM_PublishToWaitingListeners)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
