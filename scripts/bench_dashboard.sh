#!/usr/bin/env bash
# What one open dashboard tab costs the server at 16 systems with a 7-day
# store (bench/dashboard_load.cpp): the store is written directly with the
# store's API (a row a minute per device, the default resolution), its
# history queries are timed with and without an index by device (and the
# bytes a commit writes with each), then korvan-host polls 16 korvan-sim
# processes on that store with its HTTP server and a tab's requests are
# replayed over one keep-alive connection, with Accept-Encoding: gzip as a
# browser sends it: the overview (/api/site, /api/systems, /api/alarms, each
# system's /values) every 2 s; a system's page (the overview's requests and,
# per device of the system, its /record and its chart's history since the
# last t + 1), after the first load of its week view; and every chart of the
# 16 systems at once (also without gzip), as the page asked before it had an
# overview. The week view once with every row and once with a row per 10
# minutes (every=600). Reports the bytes of each first load and the server's
# CPU (/proc/PID/stat), and the polling's own CPU without a page, before
# the pages and after them.
#
#   scripts/bench_dashboard.sh [BIN_DIR]   default build/bin (a build with -DKORVAN_BENCH=ON)
#
# KORVAN_BENCH_WINDOW sets the steady window in seconds (default 60);
# KORVAN_BENCH_NO_QUERIES=1 leaves out step 2 (the queries alone);
# KORVAN_BENCH_EVERY the week view's resolutions ("0 600"). About 12 min.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/bench_sims.sh
source scripts/bench_sims.sh
bench_begin dashboard "${1:-}"
window="${KORVAN_BENCH_WINDOW:-60}"
systems=16

machine_line
"$bin/korvan-dashboard-load" build "$work/k.db" "$systems" 7
if [ -z "${KORVAN_BENCH_NO_QUERIES:-}" ]; then
  echo "== the history queries of the page on that store, and 30 minutes of commits"
  "$bin/korvan-dashboard-load" queries "$work/k.db" "$systems"
fi

echo "== korvan-host run, $systems systems (korvan-sim each), --http 127.0.0.1:0, on that store"
start_sims "$work" "$systems"
"$bin/korvan-host" run --config "$work/systems.json" --db "$work/k.db" --quiet-log --json \
  --summary off --http 127.0.0.1:0 >"$work/out.json" 2>"$work/err" &
host=$!
pids+=("$host")
base=$(http_base "$work/out.json" "$work/err")
sleep 10  # every system's first cycle
# The week view with every row, then with a row per 10 minutes (1008 a chart).
for every in ${KORVAN_BENCH_EVERY:-0 600}; do
  "$bin/korvan-dashboard-load" replay "$base" "$host" "$systems" "$window" "$every"
done
