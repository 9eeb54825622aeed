#!/usr/bin/env bash
# Builds the benchmarks in build-bench/ (Release) and runs them, counts the
# instructions of one polling cycle under callgrind, and measures whole cycles
# end to end against a simulator paced at 9600 baud (about 30 s).
#
#   scripts/bench.sh                          everything
#   scripts/bench.sh --benchmark_filter=Cycle  arguments go to korvan-bench
#
# Then the whole runtime (scripts/bench_runtime.sh: wake-ups, CPU per cycle,
# 1/4/16 systems; scripts/bench_store.sh: bytes written and fsyncs per cycle;
# scripts/bench_http.sh: the polling with and without HTTP clients;
# scripts/bench_mqtt.sh: the fleet uplink with 100 and 1000 sites), about 20
# minutes, with the programs of the build directory.
#
# KORVAN_BENCH_DIR picks another build directory; KORVAN_BENCH_NO_E2E=1 skips
# the end-to-end measurement, KORVAN_BENCH_NO_RUNTIME=1 the runtime's.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build_dir="${KORVAN_BENCH_DIR:-build-bench}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKORVAN_BENCH=ON \
  -DKORVAN_BUILD_TESTS=OFF -DKORVAN_BUILD_TOOLS=ON >/dev/null
targets=(korvan-bench korvan-cycle-count korvan-host korvan-sim korvan korvan-mqtt-fleet)
[ "${KORVAN_BENCH_NO_E2E:-0}" = 1 ] || targets+=(korvan-e2e)
cmake --build "$build_dir" -j "$(nproc)" --target "${targets[@]}"
echo "== machine: $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
"$build_dir/bin/korvan-bench" "$@"
echo "== instruction count (callgrind)"
KORVAN_BENCH_DIR="$build_dir" KORVAN_BENCH_NO_BUILD=1 ./scripts/callgrind_cycle.sh
if [ "${KORVAN_BENCH_NO_E2E:-0}" != 1 ]; then
  echo "== end to end (runtime, simulator paced at 9600 baud)"
  "$build_dir/bin/korvan-e2e"
fi
if [ "${KORVAN_BENCH_NO_RUNTIME:-0}" != 1 ]; then
  echo "== the runtime: wake-ups and CPU (scripts/bench_runtime.sh)"
  ./scripts/bench_runtime.sh "$build_dir/bin"
  echo "== the store: bytes written and fsyncs (scripts/bench_store.sh)"
  ./scripts/bench_store.sh "$build_dir"
  echo "== the HTTP server under load (scripts/bench_http.sh)"
  ./scripts/bench_http.sh "$build_dir/bin"
  echo "== the fleet uplink: MQTT messages, bytes and CPU (scripts/bench_mqtt.sh)"
  ./scripts/bench_mqtt.sh "$build_dir"
fi
