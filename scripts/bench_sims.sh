# shellcheck shell=bash disable=SC2154
# Helpers of the benchmarks that poll korvan-sim processes on
# pseudo-terminals; sourced. The caller sets `bin` (the directory of
# korvan-sim), `work` (a scratch directory) and the array `pids` (processes
# that stop_all ends), or has bench_begin set them.

# Sets up a run: `bin` from BIN_DIR (default build/bin) with its libraries on
# the loader's path, whatever their run path names; a scratch directory
# `work`; the array `pids`; and an EXIT trap that ends those processes and
# removes `work` (kept when KORVAN_BENCH_KEEP is set): bench_begin NAME [BIN_DIR].
bench_begin() {
  bin="$(cd "${2:-build/bin}" && pwd)"
  export LD_LIBRARY_PATH="$bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  work="$(mktemp -d "/tmp/korvan-bench-$1.XXXXXX")"
  pids=()
  trap bench_cleanup EXIT
}

bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${KORVAN_BENCH_KEEP:-}" ] || rm -rf "$work"
}

# The first line of a report: the machine, its cores and its load.
machine_line() {
  echo "== machine: $(uname -m), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
}

# Prints the base URL that korvan-host wrote to OUT once its HTTP server
# listens, waiting up to 10 s; exits when none comes: http_base OUT ERR.
http_base() {
  local out=$1 err=$2 base=""
  for _ in $(seq 100); do
    base=$(grep -so 'HTTP server listening on http://[0-9.]*:[0-9]*' "$out" | sed 's/.* on //' || true)
    [ -n "$base" ] && break
    sleep 0.1
  done
  [ -n "$base" ] || { echo "no HTTP server; see $err" >&2; exit 1; }
  echo "$base"
}

# Starts N korvan-sim processes on links DIR/ttyK (extra arguments go to
# each) and writes DIR/systems.json for them: start_sims DIR N [ARGS...].
start_sims() {
  local dir=$1 count=$2 k
  shift 2
  printf '{"systems": [' >"$dir/systems.json"
  for ((k = 1; k <= count; k++)); do
    "$bin/korvan-sim" --link "$dir/tty$k" "$@" </dev/null >/dev/null 2>&1 &
    pids+=($!)
    [ "$k" -gt 1 ] && printf ', ' >>"$dir/systems.json"
    printf '{"name": "s%d", "port": "%s", "data_id": %d, "acSetting": [{"data_id": %d}], "dcSetting": [{"data_id": %d}], "rcSetting": {}}' \
      "$k" "$dir/tty$k" $((1000 + k)) $((2000 + k)) $((3000 + k)) >>"$dir/systems.json"
  done
  printf ']}\n' >>"$dir/systems.json"
  for ((k = 1; k <= count; k++)); do
    for _ in $(seq 50); do [ -e "$dir/tty$k" ] && break; sleep 0.1; done
  done
}

# Ends every process in `pids` and removes the links and databases in $work.
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
  rm -f "$work"/tty* "$work"/*.db*
}
