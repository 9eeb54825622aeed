#!/usr/bin/env bash
# Builds everything and polls the built-in power-system simulator for a few cycles.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh >/dev/null
build_dir="${KORVAN_BUILD_DIR:-build}"
# The demo keeps its database in the build directory, away from the sources.
exec "$build_dir/bin/korvan-host" simulate --cycles 5 --db "$build_dir/demo.db" "$@"
