#!/usr/bin/env bash
# What the store writes to flash: bytes written to the database files and
# fsyncs per polling cycle of `korvan-host simulate`, counted from the write
# and sync system calls on the database, its write-ahead log and journal
# (strace). Each setting runs twice, SHORT and LONG seconds, and the figure is
# the difference per cycle, so that opening and closing the file count for
# nothing. The runs wait on the 9600-baud line and go in parallel.
#
#   scripts/bench_store.sh [build-dir]      default build dir: build
#
# KORVAN_STORE_SHORT / KORVAN_STORE_LONG change the two durations (60 / 300 s).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
host="$build/bin/korvan-host"
short="${KORVAN_STORE_SHORT:-60}"
long="${KORVAN_STORE_LONG:-300}"
./scripts/setup.sh strace
work="$(mktemp -d /tmp/korvan-bench-store-XXXXXX)"
trap 'rm -rf "$work"' EXIT

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

# "bytes fsyncs cycles record_bytes" of one run.
figures() {
  local dir="$work/$1-$2"
  local io cycles record
  io="$(awk '/<[^>]*k\.db(-wal|-journal)?>/ {
           if ($0 ~ /sync\(/) { syncs++ } else if (match($0, /= [0-9]+$/)) { bytes += substr($0, RSTART + 2) }
         } END { printf "%d %d", bytes, syncs }' "$dir/trace")"
  cycles="$(grep -c '"event":"summary".*"reason":"cycle"' "$dir/out.json" || true)"
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
wait

echo "== store writes per cycle (difference of a ${short} s and a ${long} s run of korvan-host simulate)"
printf '| %s | %s | %s | %s | %s |\n' "Setting" "Record bytes per cycle" "Bytes written per cycle" "× record bytes" "fsyncs per cycle"
printf '|---|---|---|---|---|\n'
for index in "${!settings[@]}"; do
  IFS='|' read -r name _ _ <<<"${settings[$index]}"
  read -r b1 s1 c1 _ <<<"$(figures "$index" "$short")"
  read -r b2 s2 c2 r2 <<<"$(figures "$index" "$long")"
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
