// One whole polling cycle of the measured system, for an instruction count:
//   valgrind --tool=callgrind --toggle-collect=korvan_measured_cycle korvan-cycle-count full
// counts exactly the cycle that korvan_measured_cycle runs, after warm-up
// cycles have brought every buffer to its steady size. The clock and the
// replies are fixed, so the count repeats from run to run.
#include <cstdio>
#include <cstring>

#include "bench/cycle_harness.h"
#include "bench/quiet_stdout.h"

namespace {
constexpr int kWarmUpCycles = 5;
}  // namespace

extern "C" __attribute__((noinline)) bool korvan_measured_cycle(
    bench_cycle::CycleHarness& harness) {
  return harness.RunCycle();
}

int main(int argc, char** argv) {
  const bool quiet = argc > 1 && std::strcmp(argv[1], "quiet") == 0;
  if (argc > 2 || (argc == 2 && !quiet && std::strcmp(argv[1], "full") != 0)) {
    std::fprintf(stderr, "usage: korvan-cycle-count [full|quiet]\n");
    return 2;
  }
  const int report_fd = QuietStdout();
  FILE* report = report_fd < 0 ? stderr : fdopen(report_fd, "w");

  bench_system::Shape shape;
  shape.data_flag = quiet ? 0x00 : 0x11;
  bench_cycle::CycleHarness harness(shape);
  for (int i = 0; i < kWarmUpCycles && harness.Error().empty(); ++i) harness.RunCycle();
  if (!harness.Error().empty() || !korvan_measured_cycle(harness)) {
    std::fprintf(stderr, "korvan-cycle-count: %s\n", harness.Error().c_str());
    return 1;
  }
  const bench_cycle::CycleFigures& figures = harness.LastCycle();
  std::fprintf(report,
               "cycle %s: %llu requests, %llu replies, %llu characters (%.3f s at 9600 baud)\n",
               quiet ? "quiet" : "full", static_cast<unsigned long long>(figures.requests),
               static_cast<unsigned long long>(figures.replies),
               static_cast<unsigned long long>(figures.characters), figures.WireSeconds());
  std::fflush(report);
  return 0;
}
