#!/usr/bin/env bash
# Installs what is missing, configures and builds into build/ (or $KORVAN_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build_dir="${KORVAN_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${KORVAN_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
