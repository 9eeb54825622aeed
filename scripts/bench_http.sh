#!/usr/bin/env bash
# Measures what the HTTP server costs the polling: 4 systems (korvan-sim
# each) polled by `korvan-host run --http 127.0.0.1:0`, once left alone and
# once while clients read /metrics and the JSON API without pause. Reports
# the polling cycles completed in the window (and their mean period) with
# and without the load, and the requests per second served.
#
#   scripts/bench_http.sh [BIN_DIR]   default build/bin (korvan-host, korvan-sim, libkorvan.so)
#
# KORVAN_BENCH_WINDOW sets the window in seconds (default 30);
# KORVAN_BENCH_CLIENTS the parallel client loops (default 4).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench_sims.sh
source scripts/bench_sims.sh
bench_begin http "${1:-}"
window="${KORVAN_BENCH_WINDOW:-30}"
clients="${KORVAN_BENCH_CLIENTS:-4}"
warmup=8
systems=4

# One client loop: reads the paths in turn until killed, one line per answer
# with its status in $work/requests.N.
client() {
  local base=$1 n=$2 path
  local paths=(/metrics /api/systems /api/systems/s1/points /api/alarms
    "/api/systems/s2/devices/3002/history?fields=v,i&limit=100" /api/systems/s3/devices/2003/record)
  while true; do
    for path in "${paths[@]}"; do
      curl -sS -o /dev/null -w '%{http_code}\n' "$base$path" >>"$work/requests.$n" 2>>"$work/curl.err" || echo 000 >>"$work/requests.$n"
    done
  done
}

# Runs korvan-host over the window with `load` clients (0: none); writes
# "<cycles> <requests> <non-200 answers>" to $work/result.
measure() {
  local load=$1 host base c0 c1 k
  # The last run's output goes first: its port must not be read again.
  rm -f "$work"/requests.* "$work"/k.db* "$work/out.json"
  "$bin/korvan-host" run --config "$work/systems.json" --db "$work/k.db" --quiet-log --json \
    --http 127.0.0.1:0 >"$work/out.json" 2>"$work/err" &
  host=$!
  pids+=("$host")
  base=$(http_base "$work/out.json" "$work/err")
  sleep "$warmup"
  local loops=()
  for ((k = 1; k <= load; k++)); do
    client "$base" "$k" &
    loops+=($!)
  done
  c0=$(grep -c '"reason":"cycle"' "$work/out.json" || true)
  sleep "$window"
  c1=$(grep -c '"reason":"cycle"' "$work/out.json" || true)
  for pid in "${loops[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  kill "$host" 2>/dev/null || true
  wait "$host" 2>/dev/null || true
  local requests=0 failed=0
  if compgen -G "$work/requests.*" >/dev/null; then
    requests=$(cat "$work"/requests.* | wc -l)
    failed=$(cat "$work"/requests.* | grep -vc '^200$' || true)
    # 000: curl ended by the end of the window, or no answer.
    echo "answers by status: $(sort "$work"/requests.* | uniq -c | awk '{printf "%s %s; ", $2, $1}')" >&2
  fi
  echo "$((c1 - c0)) $requests $failed" >"$work/result"
}

machine_line
echo "== $systems systems (korvan-sim each), korvan-host run --http 127.0.0.1:0; window ${window} s after ${warmup} s"
start_sims "$work" "$systems"
measure 0
read -r idle _ _ <"$work/result"
measure "$clients"
read -r loaded requests failed <"$work/result"
awk -v w="$window" -v n="$systems" -v a="$idle" -v b="$loaded" -v r="$requests" -v f="$failed" -v c="$clients" 'BEGIN {
  printf "without load: %d cycles (%.2f s mean period per system)\n", a, (a > 0 ? w * n / a : 0)
  printf "with %d clients: %d cycles (%.2f s mean period per system), ratio %.3f\n", c, b, (b > 0 ? w * n / b : 0), (a > 0 ? b / a : 0)
  printf "requests: %d in %d s, %.1f per second, %d not 200\n", r, w, r / w, f
}'
echo "   paths in turn: /metrics /api/systems /api/systems/s1/points /api/alarms .../history?fields=v,i&limit=100 .../record (curl, one connection each)"
