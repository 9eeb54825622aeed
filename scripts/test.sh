#!/usr/bin/env bash
# Builds everything and runs every test, builds the Debian package and tries
# it (scripts/package.sh); then the hardening steps
# (scripts/hardening.sh: sanitizer build and tests, fuzz targets, ARM cross
# build under qemu-user). KORVAN_HARDENING=0 leaves them out.
# The main suite runs with an unrelated KORVAN_X=1 set: no test may depend on
# the caller's environment. A stage that cannot run on this machine (a cross
# tool chain the registry cannot serve) is skipped loudly and listed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
KORVAN_SKIPPED_FILE="$(mktemp)"
export KORVAN_SKIPPED_FILE
summary() {
  local code=$?
  if [ -s "$KORVAN_SKIPPED_FILE" ]; then
    echo "test: SKIPPED stages:"
    sed 's/^/test:   /' "$KORVAN_SKIPPED_FILE"
  fi
  if [ "$code" -eq 0 ]; then echo "test: passed"; else echo "test: FAILED (exit code $code)"; fi
  rm -f "$KORVAN_SKIPPED_FILE"
}
trap summary EXIT
./scripts/build.sh
KORVAN_X=1 ctest --test-dir "${KORVAN_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
# The Debian package: built, checked, and as root installed, tried and purged.
./scripts/package.sh "${KORVAN_BUILD_DIR:-build}" "$(dpkg --print-architecture)" install
if [ "${KORVAN_HARDENING:-1}" != 0 ]; then
  ./scripts/hardening.sh
fi
