#!/usr/bin/env bash
# Measures the fleet uplink: N simulated sites (100, then 1000), each with its
# own store and MQTT uplink, publish the simulator's records every 3 s to one
# local mosquitto on a free loopback port, read by one subscriber of the
# whole fleet (bench/mqtt_fleet.cpp). Reports messages per second, bytes per
# site per day and CPU of the sites' side and of the broker. About 2 minutes.
#
#   scripts/bench_mqtt.sh [BUILD_DIR]   default build-bench (with korvan-mqtt-fleet built)
#
# KORVAN_BENCH_SITES lists the fleet sizes (default "100 1000");
# KORVAN_BENCH_WINDOW the measured seconds (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
work="$(mktemp -d /tmp/korvan-bench-mqtt.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# The records of the default simulated system, as a session stores them.
"$build/bin/korvan-host" simulate --cycles 2 --quiet-log --summary off --db "$work/records.db" \
  >/dev/null
for sites in ${KORVAN_BENCH_SITES:-100 1000}; do
  echo "== $sites sites, one cycle every 3 s"
  echo "+ korvan-mqtt-fleet records.db $sites ${KORVAN_BENCH_WINDOW:-30} 3"
  "$build/bin/korvan-mqtt-fleet" "$work/records.db" "$sites" "${KORVAN_BENCH_WINDOW:-30}" 3
done
