#!/usr/bin/env bash
# Builds everything and runs the host with the plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh >/dev/null
exec "${KORVAN_BUILD_DIR:-build}/bin/korvan-host" providers "$@"
