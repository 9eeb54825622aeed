#!/usr/bin/env bash
# What the store writes to flash: bytes written to the database files and
# fsyncs per polling cycle of `korvan-host simulate`, counted from the write
# and sync system calls on the database, its write-ahead log and journal
# (strace). Each setting runs twice, SHORT and LONG seconds, and the figure is
# the difference per cycle, so that opening and closing the file count for
# nothing. The runs wait on the 9600-baud line and go in parallel.
# Then the same for `korvan-host run` polling 4 and 16 korvan-sim processes on
# pseudo-terminals (started as scripts/bench_runtime.sh starts them), at the
# default settings and with every cycle's history; their figures are per
# round (a cycle of every system) and per day.
#
#   scripts/bench_store.sh [build-dir]      default build dir: build
#
# KORVAN_STORE_SHORT / KORVAN_STORE_LONG change the two durations (60 / 300 s);
# KORVAN_STORE_SYSTEMS the numbers of systems of `run` ("4 16"; "" for none).
#
# KORVAN_STORE_FULL=1 measures steady state with a full database instead:
# `korvan-host run` polling 1 and 16 korvan-sim systems (KORVAN_STORE_SYSTEMS)
# at the default settings (plus KORVAN_STORE_OPTIONS), each on a
# database that korvan-dashboard-load filled with 7 days of history up to now
# (KORVAN_STORE_DAYS), so that every commit runs against the retention. Each
# run lasts KORVAN_STORE_LONG seconds (450) and is measured from
# KORVAN_STORE_SHORT seconds (60) to its end: 390 s that hold every periodic
# commit, the 300 s cache commit included. Each setting runs
# KORVAN_STORE_REPEATS times (2), all in parallel, and reports bytes per round
# and per day at the block layer (write_bytes of /proc/PID/io: the page-cache
# pages the process dirties, which writeback sends to the disk; without the
# file system's own journal) and at the system call level (strace).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
host="$build/bin/korvan-host"
bin="$(cd "$build/bin" && pwd)"
export LD_LIBRARY_PATH="$bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
short="${KORVAN_STORE_SHORT:-60}"
long="${KORVAN_STORE_LONG:-300}"
./scripts/setup.sh strace
work="$(mktemp -d /tmp/korvan-bench-store-XXXXXX)"
trap 'rm -rf "$work"' EXIT
pids=()
# start_sims, stop_all
source scripts/bench_sims.sh

large=(--ac 3,3,3,3 --dc 3 --rc 50)
# name | system options | store options
settings=(
  "default system, default settings||"
  "default system, every cycle, interval 0 (one transaction per row)||--history-every 0 --commit-interval 0 --cache-interval 0"
  "large system, every cycle, interval 0 (one transaction per row)|${large[*]}|--history-every 0 --commit-interval 0 --cache-interval 0"
  "large system, every cycle, interval 5 s|${large[*]}|--history-every 0 --commit-interval 5"
  "large system, every cycle, interval 15 s|${large[*]}|--history-every 0 --commit-interval 15"
  "large system, every cycle, interval 60 s|${large[*]}|--history-every 0 --commit-interval 60"
  "large system, default settings|${large[*]}|"
)

# KORVAN_STORE_ONLY_DEFAULTS=1: only the settings without store options, which
# a korvan-host from before these options runs too ("before" figures).
if [ "${KORVAN_STORE_ONLY_DEFAULTS:-0}" = 1 ]; then
  kept=()
  for setting in "${settings[@]}"; do [[ "$setting" == *"|" ]] && kept+=("$setting"); done
  settings=("${kept[@]}")
fi

run() {  # index seconds
  local index="$1" seconds="$2" dir="$work/$1-$2"
  IFS='|' read -r _ system store <<<"${settings[$index]}"
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  strace -f -qq -y -e trace=write,pwrite64,fsync,fdatasync -o "$dir/trace" \
    "$host" simulate $system $store --quiet-log --json --seconds "$seconds" \
    --db "$dir/k.db" >"$dir/out.json" 2>/dev/null || true
}

# korvan-host run polling N korvan-sim processes: run_systems N SETTING SECONDS.
read -r -a system_counts <<<"${KORVAN_STORE_SYSTEMS-4 16}"
# name | store options
run_settings=(
  "default settings|"
  "every cycle|--history-every 0"
)
run_systems() (
  local count="$1" index="$2" seconds="$3" dir="$work/run-$1-$2-$3"
  IFS='|' read -r _ store <<<"${run_settings[$index]}"
  mkdir -p "$dir"
  trap stop_all EXIT
  start_sims "$dir" "$count"
  # shellcheck disable=SC2086
  strace -f -qq -y -e trace=write,pwrite64,fsync,fdatasync -o "$dir/trace" \
    "$host" run --config "$dir/systems.json" $store --quiet-log --json --seconds "$seconds" \
    --db "$dir/k.db" >"$dir/out.json" 2>/dev/null || true
)

# "bytes fsyncs cycles record_bytes" of the run in DIR.
figures() {
  local dir="$1"
  local io cycles record
  io="$(awk '/<[^>]*k\.db(-wal|-journal)?>/ {
           if ($0 ~ /sync\(/) { syncs++ } else if (match($0, /= [0-9]+$/)) { bytes += substr($0, RSTART + 2) }
         } END { printf "%d %d", bytes, syncs }' "$dir/trace")"
  cycles="$(grep -c '"reason":"cycle"' "$dir/out.json" || true)"
  # Bytes of the records of one cycle: one history row of each device.
  record="$(python3 - "$dir/k.db" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
print(sum(r[0] for r in db.execute(
    "SELECT length(record) FROM history WHERE id IN (SELECT MAX(id) FROM history GROUP BY data_id, record_type)")))
EOF
)"
  echo "$io $cycles $record"
}

if [ "${KORVAN_STORE_FULL:-0}" = 1 ]; then
  short="${KORVAN_STORE_SHORT:-60}"
  long="${KORVAN_STORE_LONG:-450}"
  days="${KORVAN_STORE_DAYS:-7}"
  repeats="${KORVAN_STORE_REPEATS:-2}"
  read -r -a counts <<<"${KORVAN_STORE_SYSTEMS-1 16}"
  read -r -a extra <<<"${KORVAN_STORE_OPTIONS:-}"
  # One run of LONG seconds; every second a sample "time write_bytes cycles"
  # of korvan-host, and the trace's calls with their times: the figures are
  # those between the first sample after SHORT seconds and the last one, so
  # that opening and closing the file count for nothing.
  full_run() (  # count repeat
    local count="$1" dir="$work/full-$1-$2"
    mkdir -p "$dir"
    # Filled by SQLite's own page writes and synced: a copy made with large
    # writes would sit in the page cache as large folios (Linux 6.16 and
    # later), and each 4 KiB page SQLite then writes would count, and go to
    # the disk, as its whole folio (up to 2 MiB here).
    "$bin/korvan-dashboard-load" build "$dir/k.db" "$count" "$days" >/dev/null
    sync "$dir/k.db"
    trap stop_all EXIT
    start_sims "$dir" "$count"
    # The output goes through a pipe: written to a file by korvan-host itself
    # it would count as its own writes at the block layer.
    mkfifo "$dir/out.pipe"
    cat "$dir/out.pipe" >"$dir/out.json" &
    local copier=$!
    strace -f -qq -ttt -y -e trace=write,pwrite64,fsync,fdatasync -o "$dir/trace" \
      "$host" run --config "$dir/systems.json" "${extra[@]}" --quiet-log --json --seconds "$long" \
      --db "$dir/k.db" >"$dir/out.pipe" 2>/dev/null &
    local tracer=$! pid=""
    for _ in $(seq 100); do
      pid="$(pgrep -P "$tracer" || true)"
      [ -n "$pid" ] && break
      sleep 0.05
    done
    while [ -n "$pid" ] && [ -r "/proc/$pid/io" ]; do
      bytes="$(awk '/^write_bytes/ {print $2}' "/proc/$pid/io" 2>/dev/null || true)"
      [ -n "$bytes" ] && echo "$(date +%s.%N) $bytes $(grep -c '"reason":"cycle"' "$dir/out.json" || true)" \
        >>"$dir/samples"
      sleep 1
    done
    wait "$tracer" || true
    wait "$copier" || true
  )
  for count in "${counts[@]}"; do
    for ((r = 1; r <= repeats; r++)); do full_run "$count" "$r" & done
  done
  wait
  machine_line
  echo "== korvan-host run with a database holding $days days of history${extra[*]:+, options: ${extra[*]}}:"
  echo "   store writes per round (a cycle of every system) from ${short} s to the end of a ${long} s run"
  printf '| %s | %s | %s | %s | %s | %s | %s |\n' "Systems" "Repeat" "Seconds" "Block layer, B/round" \
    "Block layer, MB/day" "System calls, B/round" "System calls, MB/day"
  printf '|---|---|---|---|---|---|---|\n'
  for count in "${counts[@]}"; do
    for ((r = 1; r <= repeats; r++)); do
      python3 - "$count" "$r" "$short" "$work/full-$count-$r" <<'EOF'
import re, sys
count, repeat, short, d = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
samples = [tuple(map(float, l.split())) for l in open(f"{d}/samples") if len(l.split()) == 3]
start = next((s for s in samples if s[0] >= samples[0][0] + short), None)
end = samples[-1]
if start is None or end[2] <= start[2]:
    print(f"| {count} | {repeat} | no cycles measured |")
    sys.exit()
calls = 0
for line in open(f"{d}/trace"):
    m = re.match(r"\d+\s+(\d+\.\d+) .*<[^>]*k\.db(-wal|-journal)?>.*= (\d+)$", line)
    if m and "sync(" not in line and start[0] <= float(m.group(1)) <= end[0]:
        calls += int(m.group(3))
seconds = end[0] - start[0]
rounds = (end[2] - start[2]) / count
io = end[1] - start[1]
day = 86400 / seconds / 1e6
print(f"| {count} | {repeat} | {seconds:.0f} | {io / rounds:,.0f} | {io * day:,.1f}"
      f" | {calls / rounds:,.0f} | {calls * day:,.1f} |")
EOF
    done
  done
  exit 0
fi

for index in "${!settings[@]}"; do
  run "$index" "$short" &
  run "$index" "$long" &
done
for count in "${system_counts[@]}"; do
  for index in "${!run_settings[@]}"; do
    run_systems "$count" "$index" "$short" &
    run_systems "$count" "$index" "$long" &
  done
done
wait

echo "== store writes per cycle (difference of a ${short} s and a ${long} s run of korvan-host simulate)"
printf '| %s | %s | %s | %s | %s |\n' "Setting" "Record bytes per cycle" "Bytes written per cycle" "× record bytes" "fsyncs per cycle"
printf '|---|---|---|---|---|\n'
for index in "${!settings[@]}"; do
  IFS='|' read -r name _ _ <<<"${settings[$index]}"
  read -r b1 s1 c1 _ <<<"$(figures "$work/$index-$short")"
  read -r b2 s2 c2 r2 <<<"$(figures "$work/$index-$long")"
  python3 - "$name" "$b1" "$s1" "$c1" "$b2" "$s2" "$c2" "$r2" <<'EOF'
import sys
name, b1, s1, c1, b2, s2, c2, record = sys.argv[1], *map(int, sys.argv[2:])
cycles = c2 - c1
if cycles <= 0:
    print(f"| {name} | no cycles measured |")
else:
    per = (b2 - b1) / cycles
    print(f"| {name} | {record:,} | {per:,.0f} | {per / record:.2f} | {(s2 - s1) / cycles:.2f} |")
EOF
done

[ "${#system_counts[@]}" -gt 0 ] || exit 0
echo
echo "== korvan-host run, N systems each served by korvan-sim: store writes per round (a cycle of every system) and per day"
printf '| %s | %s | %s | %s | %s | %s | %s |\n' "Systems, setting" "Record bytes per round" "Bytes written per round" \
  "× record bytes" "fsyncs per round" "Rounds per minute" "MB written a day"
printf '|---|---|---|---|---|---|---|\n'
for count in "${system_counts[@]}"; do
  for index in "${!run_settings[@]}"; do
    IFS='|' read -r name _ <<<"${run_settings[$index]}"
    read -r b1 s1 c1 _ <<<"$(figures "$work/run-$count-$index-$short")"
    read -r b2 s2 c2 r2 <<<"$(figures "$work/run-$count-$index-$long")"
    python3 - "$count" "$name" "$((long - short))" "$b1" "$s1" "$c1" "$b2" "$s2" "$c2" "$r2" <<'EOF'
import sys
count, name = int(sys.argv[1]), sys.argv[2]
seconds, b1, s1, c1, b2, s2, c2, record = map(int, sys.argv[3:])
rounds = (c2 - c1) / count
if rounds <= 0:
    print(f"| {count}, {name} | no cycles measured |")
else:
    per = (b2 - b1) / rounds
    print(f"| {count}, {name} | {record:,} | {per:,.0f} | {per / record:.2f} | {(s2 - s1) / rounds:.2f}"
          f" | {rounds / seconds * 60:.1f} | {(b2 - b1) / seconds * 86400 / 1e6:,.0f} |")
EOF
  done
done
