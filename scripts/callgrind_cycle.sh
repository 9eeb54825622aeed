#!/usr/bin/env bash
# Instructions executed by one whole steady-state polling cycle of the
# measured system (4 AC units of 3 channels, 4 DC units, 50 rectifier
# modules), counted by valgrind's callgrind. The clock and the replies are
# fixed, so the count repeats from run to run and compares across machines
# of one architecture.
#
#   scripts/callgrind_cycle.sh            build build-bench (Release), count both cycles
#   scripts/callgrind_cycle.sh --top 15   also list the 15 functions that execute the most
#                                         instructions themselves (exclusive)
#
# KORVAN_BENCH_DIR picks another build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
top=0
if [ "${1:-}" = "--top" ]; then top="${2:-15}"; fi

build_dir="${KORVAN_BENCH_DIR:-build-bench}"
if [ ! -x "$build_dir/bin/korvan-cycle-count" ] || [ "${KORVAN_BENCH_NO_BUILD:-0}" != 1 ]; then
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKORVAN_BENCH=ON \
    -DKORVAN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build_dir" -j 2 --target korvan-cycle-count >/dev/null
fi

out_dir="$(mktemp -d)"
trap 'rm -rf "$out_dir"' EXIT
for cycle in full quiet; do
  out="$out_dir/callgrind.$cycle"
  figures="$(valgrind --tool=callgrind --toggle-collect=korvan_measured_cycle \
    --callgrind-out-file="$out" "$build_dir/bin/korvan-cycle-count" "$cycle" 2>"$out_dir/log")" || {
    cat "$out_dir/log" >&2
    exit 1
  }
  instructions="$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$out")"
  printf '%s\n  instructions per cycle: %s\n' "$figures" "$instructions"
  if [ "$top" -gt 0 ]; then
    callgrind_annotate "$out" 2>/dev/null | sed -n '/file:function/,$p' |
      sed -n "3,$((top + 2))p" | sed 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' | cut -c1-160
  fi
done
