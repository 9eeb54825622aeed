// Whole polling cycles of the measured system (4 AC units of 3 channels,
// 4 DC units, 50 rectifier modules) at the decoded-reply level, timed and
// with their heap allocations counted.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdint>

#include "bench/alloc_count.h"
#include "bench/cycle_harness.h"

namespace {

using bench_cycle::CycleHarness;

// Cycles run before measuring, so that every buffer has its steady size.
constexpr int kWarmUpCycles = 3;

bench_system::Shape ShapeWithFlag(std::uint8_t data_flag) {
  bench_system::Shape shape;
  shape.data_flag = data_flag;
  return shape;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool WarmUp(benchmark::State& state, CycleHarness& harness) {
  for (int i = 0; i < kWarmUpCycles && harness.Error().empty(); ++i) harness.RunCycle();
  if (harness.Error().empty()) return true;
  state.SkipWithError(harness.Error().c_str());
  return false;
}

// Time per cycle, and its share of the cycle's time on a 9600-baud line.
void BM_PollingCycle(benchmark::State& state, std::uint8_t data_flag) {
  CycleHarness harness(ShapeWithFlag(data_flag));
  if (!WarmUp(state, harness)) return;
  const alloc_count::Counts allocations = alloc_count::Now();
  const double wall_start = WallSeconds();
  const double cpu_start = ThreadCpuSeconds();
  for (auto _ : state) {
    if (!harness.RunCycle()) {
      state.SkipWithError(harness.Error().c_str());
      return;
    }
  }
  const double cycles = static_cast<double>(state.iterations());
  const double wall_per_cycle = (WallSeconds() - wall_start) / cycles;
  const double cpu_per_cycle = (ThreadCpuSeconds() - cpu_start) / cycles;
  const bench_cycle::CycleFigures& figures = harness.LastCycle();
  state.counters["requests"] = static_cast<double>(figures.requests);
  state.counters["rules"] = static_cast<double>(harness.Controller().rules);
  state.counters["wire_ms"] = figures.WireSeconds() * 1000.0;
  // The share of the line's time that the cycle's processing takes.
  state.counters["cpu/wire"] = cpu_per_cycle / figures.WireSeconds();
  state.counters["wall/wire"] = wall_per_cycle / figures.WireSeconds();
  state.counters["allocs"] = static_cast<double>(alloc_count::Since(allocations).total) / cycles;
}

// Allocations per steady-state cycle, split by the code that asked for them.
void BM_CycleAllocations(benchmark::State& state, std::uint8_t data_flag) {
  CycleHarness harness(ShapeWithFlag(data_flag));
  if (!WarmUp(state, harness)) return;
  if (!alloc_count::PrepareAttribution()) {
    state.SkipWithError("the plug-in or the host library is not loaded");
    return;
  }
  const alloc_count::Counts start = alloc_count::Now();
  alloc_count::StartAttributing();
  for (auto _ : state) {
    if (!harness.RunCycle()) break;
  }
  alloc_count::StopAttributing();
  if (!harness.Error().empty()) {
    state.SkipWithError(harness.Error().c_str());
    return;
  }
  const alloc_count::Counts counts = alloc_count::Since(start);
  const double cycles = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(counts.total) / cycles;
  state.counters["plugin"] = static_cast<double>(counts.plugin) / cycles;
  state.counters["host"] = static_cast<double>(counts.host) / cycles;
  state.counters["harness"] = static_cast<double>(counts.other) / cycles;
  state.counters["bytes"] = static_cast<double>(counts.bytes) / cycles;
}

}  // namespace

// Data flags 11h: the power system reports changed switch and alarm states,
// so every cycle has all ten exchanges. 00h: nothing changed, so a ready bus
// device asks for the analog values and the parameters only (five exchanges).
BENCHMARK_CAPTURE(BM_PollingCycle, full, 0x11)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_PollingCycle, quiet, 0x00)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CycleAllocations, full, 0x11)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK_CAPTURE(BM_CycleAllocations, quiet, 0x00)->Unit(benchmark::kMicrosecond)->Iterations(200);
