// The benchmark program: trace lines of the units go to /dev/null, the
// report to the original standard output.
#include <benchmark/benchmark.h>

#include <ext/stdio_filebuf.h>
#include <iostream>
#include <ostream>

#include "bench/quiet_stdout.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const int report_fd = QuietStdout();
  if (report_fd < 0) {
    std::cerr << "korvan-bench: cannot redirect standard output\n";
    return 1;
  }
  __gnu_cxx::stdio_filebuf<char> report_buffer(report_fd, std::ios::out);
  std::ostream report(&report_buffer);
  benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
  console.SetOutputStream(&report);
  console.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&console);
  benchmark::Shutdown();
  return 0;
}
