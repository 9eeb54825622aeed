#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ (Release) and runs them, then counts
# the instructions of one polling cycle under callgrind.
#
#   scripts/bench.sh                          everything
#   scripts/bench.sh --benchmark_filter=Cycle  arguments go to korvan-bench
#
# KORVAN_BENCH_DIR picks another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build_dir="${KORVAN_BENCH_DIR:-build-bench}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKORVAN_BENCH=ON \
  -DKORVAN_BUILD_TESTS=OFF -DKORVAN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target korvan-bench korvan-cycle-count
echo "== machine: $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
"$build_dir/bin/korvan-bench" "$@"
echo "== instruction count (callgrind)"
KORVAN_BENCH_DIR="$build_dir" KORVAN_BENCH_NO_BUILD=1 ./scripts/callgrind_cycle.sh
