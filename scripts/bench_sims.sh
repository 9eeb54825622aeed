# shellcheck shell=bash disable=SC2154
# Helpers of the benchmarks that poll korvan-sim processes on
# pseudo-terminals; sourced. The caller sets `bin` (the directory of
# korvan-sim), `work` (a scratch directory) and the array `pids` (processes
# that stop_all ends).

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
