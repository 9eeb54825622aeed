#!/usr/bin/env bash
# Measures the fleet uplink: N simulated sites (100, then 1000), each with its
# own store and MQTT uplink, publish a recorded session of the simulator, one
# cycle every 3 s, to one local mosquitto on a free loopback port, read by one
# subscriber of the whole fleet (bench/mqtt_fleet.cpp); in both report modes,
# every cycle and by exception at the default deadbands and heartbeat.
# Reports messages per second, bytes per site per day and CPU of the sites'
# side and of the broker. About 4 minutes to record the session, then the
# windows: by default 30 s every cycle and 300 s (one heartbeat) by
# exception per fleet size, about 15 minutes in all.
#
#   scripts/bench_mqtt.sh [BUILD_DIR]   default build-bench (with korvan-mqtt-fleet built)
#
# KORVAN_BENCH_SITES lists the fleet sizes (default "100 1000");
# KORVAN_BENCH_WINDOW the measured seconds every cycle (default 30);
# KORVAN_BENCH_RBE_WINDOW those by exception (default 300: shorter windows
# miss heartbeats and read low).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-bench}"
work="$(mktemp -d /tmp/korvan-bench-mqtt.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# A steady default simulated system, every cycle stored: its drifting
# values are what the sites publish.
"$build/bin/korvan-host" simulate --cycles 120 --history-every 0 --quiet-log --summary off \
  --db "$work/records.db" >/dev/null
for sites in ${KORVAN_BENCH_SITES:-100 1000}; do
  for mode in every-cycle by-exception; do
    window="${KORVAN_BENCH_WINDOW:-30}"
    [ "$mode" = by-exception ] && window="${KORVAN_BENCH_RBE_WINDOW:-300}"
    echo "== $sites sites, one cycle every 3 s, $mode"
    echo "+ korvan-mqtt-fleet records.db $sites $window 3 $mode"
    "$build/bin/korvan-mqtt-fleet" "$work/records.db" "$sites" "$window" 3 "$mode"
  done
done
