#!/usr/bin/env bash
# Installs what the demo needs (no test tool chain), builds korvan-host and
# the plug-in alone in build-demo/ (or $KORVAN_DEMO_BUILD_DIR) and polls the
# built-in power-system simulator for a few cycles. Arguments go to
# `korvan-host simulate`; the devices' trace lines (debug level) are left out
# unless --log-level says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --demo
build_dir="${KORVAN_DEMO_BUILD_DIR:-build-demo}"
# A unity build at -O1: a fraction of the full build's time, fast enough to poll.
cmake -S . -B "$build_dir" -DKORVAN_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O1 \
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target korvan-host korvan >/dev/null
level=(--log-level info)
for argument in "$@"; do
  case "$argument" in --log-level | --log-level=*) level=() ;; esac
done
# The demo keeps its database in the build directory, away from the sources.
exec "$build_dir/bin/korvan-host" simulate --cycles 5 --db "$build_dir/demo.db" "${level[@]}" "$@"
