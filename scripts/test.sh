#!/usr/bin/env bash
# Builds everything and runs every test, builds the Debian package and tries
# it (scripts/package.sh); then the hardening steps
# (scripts/hardening.sh: sanitizer build and tests, fuzz targets, ARM cross
# build under qemu-user). KORVAN_HARDENING=0 leaves them out.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
ctest --test-dir "${KORVAN_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
# The Debian package: built, checked, and as root installed, tried and purged.
./scripts/package.sh "${KORVAN_BUILD_DIR:-build}" "$(dpkg --print-architecture)" install
if [ "${KORVAN_HARDENING:-1}" != 0 ]; then
  ./scripts/hardening.sh
fi
