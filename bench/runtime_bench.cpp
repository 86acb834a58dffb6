// The runtime's two hot paths: block_on of a task chain that never suspends (the gate's path with
// in-process stores) and sending on a broadcast channel with many subscribers.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTREL_BUILD_BENCH=ON
//   cmake --build build/bench --target runtime_bench && build/bench/runtime_bench
//
// Every heap allocation of the program goes through the counting operator new of alloc_counter.hpp,
// so the "allocs/call" counter shows whether a path calls malloc in the steady state.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <variant>
#include <vector>

#include "runtime/block_on.hpp"
#include "runtime/broadcast.hpp"
#include "runtime/runtime.hpp"
#include "runtime/spawn.hpp"
#include "runtime/task.hpp"

#include "alloc_counter.hpp"

namespace {

using ostrel::bench::allocations;
using namespace ostrel::runtime;

ostrel::runtime::Runtime& shared() {
  auto rt = runtime();
  if (!rt) {
    std::fprintf(stderr, "%s\n", rt.error().display().c_str());
    std::abort();
  }
  return **rt;
}

Task<int> leaf(int x) { co_return x + 1; }
Task<int> middle(int x) { co_return co_await leaf(x) * 2; }
Task<int> top(int x) { co_return co_await middle(x) + 3; }

// Three frames per call: top, middle, leaf.
void BM_BlockOnChainDepth3(benchmark::State& st) {
  int x = 0;
  benchmark::DoNotOptimize(block_on(top(x)));  // warms this thread's frame cache
  const std::size_t before = allocations.load();
  for (auto _ : st) {
    auto r = block_on(top(x++));
    benchmark::DoNotOptimize(r);
  }
  st.counters["allocs/call"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before) / static_cast<double>(st.iterations()));
}
BENCHMARK(BM_BlockOnChainDepth3);

// Subscribers that are not waiting (busy elsewhere): a send is one slot write.
void BM_SendIdleSubscribers(benchmark::State& st) {
  BroadcastSender<int> tx(1024);
  std::vector<BroadcastReceiver<int>> rxs;
  for (int i = 0; i < st.range(0); ++i) rxs.push_back(tx.subscribe());
  int v = 0;
  for (int i = 0; i < 2048; ++i) (void)tx.send(v++);  // fill the ring: sends overwrite from here on
  const std::size_t before = allocations.load();
  for (auto _ : st) {
    auto n = tx.send(v++);
    benchmark::DoNotOptimize(n);
  }
  st.counters["allocs/call"] = benchmark::Counter(
      static_cast<double>(allocations.load() - before) / static_cast<double>(st.iterations()));
}
BENCHMARK(BM_SendIdleSubscribers)->Arg(1)->Arg(10)->Arg(100);

Task<void> listen(BroadcastReceiver<int> rx, std::atomic<std::uint64_t>* seen) {
  for (;;) {
    auto r = co_await rx.recv();
    if (std::holds_alternative<Closed>(r)) co_return;
    seen->fetch_add(1, std::memory_order_relaxed);
  }
}

// Subscribers that are listener tasks waiting in recv(): a send that finds them waiting also hands
// them, as one batch, to a worker. The time is the sender's; the listeners run on the workers.
void BM_SendWaitingListeners(benchmark::State& st) {
  std::atomic<std::uint64_t> seen{0};
  std::vector<JoinHandle> handles;
  {
    BroadcastSender<int> tx(1024);
    for (int i = 0; i < st.range(0); ++i) {
      auto h = spawn(shared(), listen(tx.subscribe(), &seen));
      if (!h) std::abort();
      handles.push_back(*h);
    }
    int v = 0;
    for (auto _ : st) {
      auto n = tx.send(v++);
      benchmark::DoNotOptimize(n);
    }
  }
  for (auto& h : handles) {
    if (!h.wait_finished(std::chrono::seconds(30))) std::abort();
  }
  st.counters["delivered/send"] =
      benchmark::Counter(static_cast<double>(seen.load()) / static_cast<double>(st.iterations()) /
                         static_cast<double>(st.range(0)));
}
BENCHMARK(BM_SendWaitingListeners)->Arg(1)->Arg(10)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
