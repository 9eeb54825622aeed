#!/usr/bin/env bash
# Measures what korvan-host costs while it polls: wake-ups (context switches,
# voluntary and involuntary, of all its threads) per second per system on
# silent lines, CPU per completed cycle of the built-in simulator, and the
# share of a core that 16 answering systems take. Figures come from
# /proc/PID/task/*/status and /proc/PID/task/*/schedstat (run time in ns)
# over a measured window after a warm-up; the commands are printed. Last,
# CPU per cycle as a service runs (no summaries and the log level info, as
# under journald; default store settings) of
# the default and the large system, from the CPU of whole runs of 10 and 40
# cycles.
#
#   scripts/bench_runtime.sh [BIN_DIR]   default build/bin (korvan-host, korvan-sim, libkorvan.so)
#
# Then the outputs off and on, as a service runs (--summary off --log-level
# info): 1, 4 and 16 answering systems, wake-ups/s and ms CPU per system per
# minute, once with the store alone and once with the HTTP server (one idle
# client: a request every 10 s over one keep-alive connection) and the MQTT
# uplink to a local mosquitto on a free port; and the large system's CPU per
# cycle both ways, with their ratio. Before them, the floor: the line's
# system calls alone (korvan-line-floor) on 16 simulators. Each figure
# KORVAN_BENCH_REPEATS times (default 2), printed as a range.
#
# KORVAN_BENCH_WINDOW sets the window in seconds (default 20),
# KORVAN_BENCH_LARGE_WINDOW the large system's (default 60);
# KORVAN_BENCH_OUTPUTS_ONLY=1 runs the outputs' part alone, and with
# KORVAN_BENCH_LARGE_ONLY=1 too, only its large system.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench_sims.sh
source scripts/bench_sims.sh
bench_begin runtime "${1:-}"
window="${KORVAN_BENCH_WINDOW:-20}"
repeats="${KORVAN_BENCH_REPEATS:-2}"
warmup=5

# Sum over the threads of PID: "<context switches> <run time in ns>
# <voluntary context switches>" (the voluntary ones are the process's own
# wake-ups; the others grow with the machine's load).
sample() {
  local switches=0 run=0 voluntary=0 task v n r
  for task in /proc/"$1"/task/*; do
    read -r v n < <(awk '/^voluntary_ctxt_switches/ {a=$2} /^nonvoluntary_ctxt_switches/ {b=$2} END {print a, b}' \
      "$task/status" 2>/dev/null) || continue
    r=$(awk '{print $1}' "$task/schedstat" 2>/dev/null) || continue
    switches=$((switches + v + n))
    voluntary=$((voluntary + v))
    run=$((run + r))
  done
  echo "$switches $run $voluntary"
}

# Measures the running korvan-host $1 over the window; prints
# "<switches/s> <cpu % of a core> <cycles in the window> <ms CPU per cycle>
# <voluntary switches/s>" (cycles: JSON summary lines of completed cycles in $2).
measure() {
  local pid=$1 out=$2 s0 s1 c0 c1
  sleep "$warmup"
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "korvan-host ended early; see $out" >&2
    exit 1
  fi
  read -r -a s0 < <(sample "$pid")
  c0=$(grep -c '"reason":"cycle"' "$out" || true)
  sleep "$window"
  read -r -a s1 < <(sample "$pid")
  c1=$(grep -c '"reason":"cycle"' "$out" || true)
  awk -v w="$window" -v ds=$((s1[0] - s0[0])) -v dr=$((s1[1] - s0[1])) -v dc=$((c1 - c0)) \
    -v dv=$((s1[2] - s0[2])) \
    'BEGIN {printf "%.1f %.4f %d %.3f %.1f\n", ds / w, dr / 1e7 / w, dc, (dc > 0 ? dr / 1e6 / dc : 0), dv / w}'
}

machine_line
echo "== binaries: $bin; window ${window} s after ${warmup} s"
large=(--ac 3,3,3,3 --dc 3 --rc 50)
if [ -z "${KORVAN_BENCH_OUTPUTS_ONLY:-}" ]; then

echo "== idle: silent lines (korvan-sim --set 'silent on'), korvan-host run"
for n in 1 4 16; do
  start_sims "$work" "$n" --set "silent on"
  "$bin/korvan-host" run --config "$work/systems.json" --db "$work/k.db" --quiet-log --json \
    >"$work/out.json" 2>/dev/null &
  host=$!
  pids+=("$host")
  read -r rate cpu _ _ < <(measure "$host" "$work/out.json")
  awk -v n="$n" -v r="$rate" -v c="$cpu" \
    'BEGIN {printf "systems %2d: %7.1f wake-ups/s, %6.1f per system; %5.2f %% of a core\n", n, r, r / n, c}'
  stop_all
done
echo "   command: korvan-sim --link L --set 'silent on' (one per system); korvan-host run --config F --db D --quiet-log --json"

echo "== 16 answering systems (korvan-sim each), korvan-host run"
start_sims "$work" 16
"$bin/korvan-host" run --config "$work/systems.json" --db "$work/k.db" --quiet-log --json \
  >"$work/out.json" 2>/dev/null &
host=$!
pids+=("$host")
read -r rate cpu cycles per _ < <(measure "$host" "$work/out.json")
printf 'systems 16: %.2f %% of a core, %.1f wake-ups/s, %d cycles, %.3f ms CPU per cycle\n' \
  "$cpu" "$rate" "$cycles" "$per"
stop_all
echo "   command: korvan-sim --link L (one per system); korvan-host run --config F --db D --quiet-log --json"

echo "== one simulated system: korvan-host simulate (simulator in the process)"
"$bin/korvan-host" simulate --db "$work/k.db" --quiet-log --json >"$work/out.json" 2>/dev/null &
host=$!
pids+=("$host")
read -r rate cpu cycles per _ < <(measure "$host" "$work/out.json")
printf 'simulate: %.3f ms CPU per cycle (%d cycles), %.2f %% of a core, %.1f wake-ups/s\n' \
  "$per" "$cycles" "$cpu" "$rate"
stop_all
echo "   command: korvan-host simulate --db D --quiet-log --json"

# CPU of a whole run (user + system, all threads) of `korvan-host simulate
# ARGS --cycles N`; printed in seconds.
run_cpu() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{usage.ru_utime + usage.ru_stime:.4f}")
PY
}

# CPU per cycle as the difference of a 40-cycle and a 10-cycle run, so that
# starting and stopping count for nothing. Both systems' runs go in parallel.
echo "== CPU per cycle as a service, default settings: difference of --cycles 40 and --cycles 10"
for name in default large; do
  system=()
  [ "$name" = large ] && system=("${large[@]}")
  for n in 10 40; do
    run_cpu "$bin/korvan-host" simulate "${system[@]}" --summary off --log-level info --cycles "$n" \
      --db "$work/$name-$n.db" >"$work/$name-$n.cpu" &
  done
done
wait
for name in default large; do
  awk -v name="$name" -v a="$(cat "$work/$name-10.cpu")" -v b="$(cat "$work/$name-40.cpu")" \
    'BEGIN {printf "simulate, %s system: %.3f ms CPU per cycle (its simulator included)\n", name, (b - a) / 30 * 1000}'
done
echo "   command: korvan-host simulate [${large[*]}] --summary off --log-level info --cycles N --db D (N = 10, 40)"

# The large system served by korvan-sim, polled by `korvan-host run`: the
# runtime's cost alone.
for n in 10 40; do
  "$bin/korvan-sim" "${large[@]}" --link "$work/large$n" </dev/null >/dev/null 2>&1 &
  pids+=($!)
  printf '{"name": "large", "port": "%s", "data_id": 100, "acSetting": [{"data_id": 11}, {"data_id": 12}, {"data_id": 13}, {"data_id": 14}], "dcSetting": [{"data_id": 21}, {"data_id": 22}, {"data_id": 23}], "rcSetting": {}}\n' \
    "$work/large$n" >"$work/large$n.json"
done
for n in 10 40; do
  for _ in $(seq 50); do [ -e "$work/large$n" ] && break; sleep 0.1; done
  run_cpu "$bin/korvan-host" run --config "$work/large$n.json" --summary off --log-level info --cycles "$n" \
    --db "$work/run-large-$n.db" >"$work/run-large-$n.cpu" &
done
while [ ! -s "$work/run-large-10.cpu" ] || [ ! -s "$work/run-large-40.cpu" ]; do sleep 1; done
awk -v a="$(cat "$work/run-large-10.cpu")" -v b="$(cat "$work/run-large-40.cpu")" \
  'BEGIN {printf "run, large system: %.3f ms CPU per cycle\n", (b - a) / 30 * 1000}'
stop_all
echo "   command: korvan-sim ${large[*]} --link L; korvan-host run --config F --summary off --log-level info --cycles N --db D (N = 10, 40)"

fi

# A free loopback port.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# An idle HTTP client of the server that korvan-host names in OUT: GET
# /api/systems every 10 s over one keep-alive connection (made anew when the
# server closes it), until it is ended. Runs in the background; its pid goes
# to `pids`: idle_client OUT ERR.
idle_client() {
  local base
  base=$(http_base "$1" "$2")
  python3 - "$base" <<'PY' >/dev/null 2>&1 &
import http.client, sys, time, urllib.parse
url = urllib.parse.urlparse(sys.argv[1])
conn = None
while True:
    try:
        if conn is None:
            conn = http.client.HTTPConnection(url.hostname, url.port, timeout=10)
        conn.request("GET", "/api/systems")
        conn.getresponse().read()
    except Exception:
        conn = None
    time.sleep(10)
PY
  pids+=($!)
}

mqtt_port=$(free_port)
mosquitto -p "$mqtt_port" >/dev/null 2>&1 &
broker=$!
# Not waited for by stop_all's `wait`: it stays until the end.
disown "$broker"
trap 'kill "$broker" 2>/dev/null || true; bench_cleanup' EXIT
outputs_on=(--http 127.0.0.1:0 --mqtt "mqtt://127.0.0.1:$mqtt_port")
service=(--summary off --log-level info)

# "min–max" of the numbers on standard input, with `digits` decimals.
range() {
  sort -g | awk -v d="$1" 'NR == 1 {lo = $1} {hi = $1} END {if (lo == hi) printf "%.*f", d, lo; else printf "%.*f–%.*f", d, lo, d, hi}'
}

# Adds one repeat's figures per system of N systems to $work/rates,
# voluntary and cpus: note_per_system N WAKE-UPS/S VOLUNTARY/S CPU%.
note_per_system() {
  awk -v n="$1" -v r="$2" 'BEGIN {printf "%.2f\n", r / n}' >>"$work/rates"
  awk -v n="$1" -v r="$3" 'BEGIN {printf "%.2f\n", r / n}' >>"$work/voluntary"
  # % of a core -> ms per minute: % * 600 ms.
  awk -v n="$1" -v c="$4" 'BEGIN {printf "%.2f\n", c * 600 / n}' >>"$work/cpus"
}

# The floor: the line's system calls alone (korvan-line-floor: write, poll,
# read, the 20 ms sleep, five exchanges every 2 s), on the same 16
# simulators; what korvan-host costs above it is its own work.
if [ -z "${KORVAN_BENCH_LARGE_ONLY:-}" ] && [ -x "$bin/korvan-line-floor" ]; then
  : >"$work/rates" && : >"$work/cpus" && : >"$work/voluntary"
  for _ in $(seq "$repeats"); do
    start_sims "$work" 16
    "$bin/korvan-line-floor" "$work"/tty{1..16} &
    floor=$!
    pids+=("$floor")
    read -r rate cpu _ _ voluntary < <(measure "$floor" /dev/null)
    note_per_system 16 "$rate" "$voluntary" "$cpu"
    stop_all
  done
  printf '== the line alone (korvan-line-floor on 16 simulators): %s wake-ups/s per system (%s voluntary), %s ms CPU per system per minute\n' \
    "$(range 1 <"$work/rates")" "$(range 1 <"$work/voluntary")" "$(range 2 <"$work/cpus")"
fi

echo "== outputs off and on, answering systems as a service: korvan-host run ${service[*]} [${outputs_on[*]}]; ${repeats} runs each"
for n in $([ -z "${KORVAN_BENCH_LARGE_ONLY:-}" ] && echo 1 4 16); do
  for mode in off on; do
    : >"$work/rates" && : >"$work/cpus" && : >"$work/voluntary"
    for _ in $(seq "$repeats"); do
      start_sims "$work" "$n"
      extra=()
      [ "$mode" = on ] && extra=("${outputs_on[@]}")
      "$bin/korvan-host" run --config "$work/systems.json" --db "$work/k.db" "${service[@]}" "${extra[@]}" \
        >"$work/out.txt" 2>"$work/err.txt" &
      host=$!
      pids+=("$host")
      [ "$mode" = on ] && idle_client "$work/out.txt" "$work/err.txt"
      read -r rate cpu _ _ voluntary < <(measure "$host" "$work/out.txt")
      note_per_system "$n" "$rate" "$voluntary" "$cpu"
      stop_all
    done
    printf 'systems %2d, outputs %-3s: %s wake-ups/s per system (%s voluntary), %s ms CPU per system per minute\n' \
      "$n" "$mode" "$(range 1 <"$work/rates")" "$(range 1 <"$work/voluntary")" "$(range 2 <"$work/cpus")"
  done
done

# The median CPU of the running korvan-host $1 per 2 s (one cycle) over
# $2 seconds after the warm-up, in ms: a steady cycle's cost, which a
# moment's disturbance of the machine (a stall of a few cycles) does not move.
median_cycle_cpu() {
  local pid=$1 seconds=$2 k
  sleep "$warmup"
  for ((k = 0; k <= seconds / 2; k++)); do
    cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {print s}'
    sleep 2
  done | awk 'NR > 1 {print ($1 - p) / 1e6} {p = $1}' | sort -g |
    awk '{v[NR] = $1} END {printf "%.3f\n", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'
}

# The large system's CPU as a service, outputs off and on: the median cycle
# of a running process (a whole run's start and end, and the machine's
# stalls, vary by more than the outputs cost); the modes alternate so that
# both see the same machine.
large_window="${KORVAN_BENCH_LARGE_WINDOW:-60}"
echo "== large system as a service, outputs off and on: median CPU of the 2 s cycles in ${large_window} s, modes alternating; ${repeats} runs each"
printf '{"name": "large", "port": "%s", "data_id": 100, "acSetting": [{"data_id": 11}, {"data_id": 12}, {"data_id": 13}, {"data_id": 14}], "dcSetting": [{"data_id": 21}, {"data_id": 22}, {"data_id": 23}], "rcSetting": {}}\n' \
  "$work/large" >"$work/large.json"
: >"$work/large-off" && : >"$work/large-on"
for _ in $(seq "$repeats"); do
  for mode in off on; do
    "$bin/korvan-sim" "${large[@]}" --link "$work/large" </dev/null >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -e "$work/large" ] && break; sleep 0.1; done
    extra=()
    [ "$mode" = on ] && extra=("${outputs_on[@]}")
    "$bin/korvan-host" run --config "$work/large.json" --db "$work/large-run.db" "${service[@]}" "${extra[@]}" \
      >"$work/out.txt" 2>"$work/err.txt" &
    host=$!
    pids+=("$host")
    [ "$mode" = on ] && idle_client "$work/out.txt" "$work/err.txt"
    median_cycle_cpu "$host" "$large_window" >>"$work/large-$mode"
    stop_all
    rm -f "$work/large"
  done
done
paste "$work/large-off" "$work/large-on" | awk '{printf "%.2f\n", $2 / $1}' >"$work/large-ratio"
printf 'run, large system as a service: outputs off %s ms CPU per cycle, on %s ms; on/off %s (per repeat)\n' \
  "$(range 3 <"$work/large-off")" "$(range 3 <"$work/large-on")" "$(range 2 <"$work/large-ratio")"
echo "   command: korvan-sim ${large[*]} --link L; korvan-host run --config F --db D ${service[*]} [${outputs_on[*]}]"
