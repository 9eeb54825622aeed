#!/usr/bin/env bash
# Installs what is missing, configures and builds into build/ (or $KORVAN_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build_dir="${KORVAN_BUILD_DIR:-build}"
# Installed under /usr, as the Debian package installs it.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${KORVAN_BUILD_TYPE:-RelWithDebInfo}" \
  -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
