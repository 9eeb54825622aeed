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
