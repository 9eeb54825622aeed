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
# KORVAN_BENCH_WINDOW sets the window in seconds (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench_sims.sh
source scripts/bench_sims.sh
bench_begin runtime "${1:-}"
window="${KORVAN_BENCH_WINDOW:-20}"
warmup=5

# Sum over the threads of PID: "<context switches> <run time in ns>".
sample() {
  local switches=0 run=0 task v n r
  for task in /proc/"$1"/task/*; do
    v=$(awk '/^voluntary_ctxt_switches/ {a=$2} /^nonvoluntary_ctxt_switches/ {b=$2} END {print a+b}' \
      "$task/status" 2>/dev/null) || continue
    r=$(awk '{print $1}' "$task/schedstat" 2>/dev/null) || continue
    switches=$((switches + v))
    run=$((run + r))
  done
  echo "$switches $run"
}

# Measures the running korvan-host $1 over the window; prints
# "<switches/s> <cpu % of a core> <cycles in the window> <ms CPU per cycle>"
# (cycles: JSON summary lines of completed cycles in $2).
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
    'BEGIN {printf "%.1f %.2f %d %.3f\n", ds / w, dr / 1e7 / w, dc, (dc > 0 ? dr / 1e6 / dc : 0)}'
}

machine_line
echo "== binaries: $bin; window ${window} s after ${warmup} s"

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
read -r rate cpu cycles per < <(measure "$host" "$work/out.json")
printf 'systems 16: %.2f %% of a core, %.1f wake-ups/s, %d cycles, %.3f ms CPU per cycle\n' \
  "$cpu" "$rate" "$cycles" "$per"
stop_all
echo "   command: korvan-sim --link L (one per system); korvan-host run --config F --db D --quiet-log --json"

echo "== one simulated system: korvan-host simulate (simulator in the process)"
"$bin/korvan-host" simulate --db "$work/k.db" --quiet-log --json >"$work/out.json" 2>/dev/null &
host=$!
pids+=("$host")
read -r rate cpu cycles per < <(measure "$host" "$work/out.json")
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
large=(--ac 3,3,3,3 --dc 3 --rc 50)
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
