#!/usr/bin/env bash
# The hardening steps of CI, after the normal build and tests:
#   1. the whole test suite built with AddressSanitizer and UndefinedBehavior-
#      Sanitizer (alignment checks included), and run;
#   2. the tests that start threads (events, runtime, store writer, notify,
#      HTTP, MQTT) and the programs they start, built with ThreadSanitizer and
#      run; any report (a data race, a lock-order inversion), in a test or in
#      a process it started, fails the step. Suppressions: cmake/tsan.supp,
#      each with its reason;
#   3. the libFuzzer targets of fuzz/ built with clang and run for a bounded
#      time each, two at a time;
#   4. everything (the plug-in, the host stand-in, korvan-host, korvan-sim and
#      the tests) cross-built for each ARM architecture (-Wcast-align=strict
#      as an error), the tests run under qemu-user, and the architecture's
#      Debian package built and its contents checked (scripts/package.sh).
# Settings (environment):
#   KORVAN_FUZZ_SECONDS  time per fuzz target (default 30)
#   KORVAN_CROSS_ARCHES  architectures to cross-build (default "arm64 armhf")
#   KORVAN_HARDENING_STEPS  steps to run (default "sanitize tsan fuzz cross")
#   KORVAN_REQUIRE_CROSS  1: a cross tool chain that cannot be installed is an
#                         error; otherwise its architecture is skipped, loudly,
#                         and listed in $KORVAN_SKIPPED_FILE (test.sh's summary)
# Build directories: build-asan, build-tsan, build-fuzz, build-<arch>.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds="${KORVAN_FUZZ_SECONDS:-30}"
arches="${KORVAN_CROSS_ARCHES:-arm64 armhf}"
steps="${KORVAN_HARDENING_STEPS:-sanitize tsan fuzz cross}"
jobs="$(nproc)"
fuzz_targets=(unit_parse bus cache frame config system_config replay_script hex_text record_decode
  record_store network_texts nut_protocol)

own_skipped_file=""
if [ -z "${KORVAN_SKIPPED_FILE:-}" ]; then
  KORVAN_SKIPPED_FILE="$(mktemp)"
  own_skipped_file="$KORVAN_SKIPPED_FILE"
  trap 'rm -f "$own_skipped_file"' EXIT
fi
export KORVAN_SKIPPED_FILE
KORVAN_CROSS_ARCHES="$arches" ./scripts/setup.sh --hardening

step_started=0
begin() {
  step_started=$SECONDS
  echo "hardening: $1"
}
finish() { echo "hardening: $1 done in $((SECONDS - step_started)) s"; }

sanitize() {
  begin "sanitizer build and tests (build-asan)"
  # Unoptimised: it builds three times faster than -O2, and the tests run as fast.
  cmake -S . -B build-asan -DKORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
  finish "sanitizer build and tests"
}

# Runs `$1 NAME` for each further NAME, two at a time; fails when one failed.
two_at_a_time() {
  local run="$1" failed=0 pids=() name pid
  shift
  for name in "$@"; do
    "$run" "$name" &
    pids+=($!)
    if [ "${#pids[@]}" -ge 2 ]; then
      wait "${pids[0]}" || failed=1
      pids=("${pids[@]:1}")
    fi
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
  [ "$failed" -eq 0 ]
}

tsan_test() {
  local name="$1" log="$PWD/build-tsan/$1.log"
  (cd build-tsan/tests && ../bin/"$name" --gtest_brief=1 >"$log" 2>&1) && return 0
  echo "hardening: $name failed under ThreadSanitizer; its log:" >&2
  tail -n 60 "$log" >&2
  return 1
}

tsan_tests=(test_events test_runtime test_store_writer test_notify test_http test_mqtt test_snmp)
tsan() {
  begin "ThreadSanitizer build and the threaded tests (build-tsan)"
  cmake -S . -B build-tsan -DKORVAN_TSAN=ON -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="-O1 -g" >/dev/null
  cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}" korvan-host korvan-sim korvan
  local reports="$PWD/build-tsan/reports" failed=0
  rm -rf "$reports"
  mkdir -p "$reports"
  # Every process writes its reports to a file of its own: those of the
  # programs a test starts count as much as the test's.
  export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1 history_size=4 suppressions=$PWD/cmake/tsan.supp"
  two_at_a_time tsan_test "${tsan_tests[@]}" || failed=1
  unset TSAN_OPTIONS
  if compgen -G "$reports/tsan*" >/dev/null; then
    echo "hardening: ThreadSanitizer reported:" >&2
    head -n 80 "$reports"/tsan* >&2
    failed=1
  fi
  [ "$failed" -eq 0 ]
  finish "ThreadSanitizer build and the threaded tests"
}

run_fuzz_target() {
  local name="$1" work="build-fuzz/corpus/$1" log="build-fuzz/fuzz_$1.log"
  mkdir -p "$work"
  if ! build-fuzz/bin/fuzz_"$name" -max_total_time="$fuzz_seconds" -dict=fuzz/korvan.dict \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="build-fuzz/crash_${name}_" \
      "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
    echo "hardening: fuzz target $name failed; its log:" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
  echo "hardening: fuzz_$name $(grep -m1 -o 'Done [0-9]* runs in [0-9]* second(s)' "$log")"
}

fuzz() {
  begin "fuzz targets, ${fuzz_seconds} s each (build-fuzz)"
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKORVAN_FUZZ=ON \
    -DKORVAN_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs" --target "${fuzz_targets[@]/#/fuzz_}"
  two_at_a_time run_fuzz_target "${fuzz_targets[@]}"
  finish "fuzz targets"
}

cross() {
  local arch="$1" triplet
  case "$arch" in
    arm64) triplet=aarch64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    *) echo "hardening: unknown architecture $arch" >&2; return 1 ;;
  esac
  if grep -q "^cross $arch:" "$KORVAN_SKIPPED_FILE"; then
    echo "hardening: SKIPPED the cross build for $arch: $(grep -m1 "^cross $arch:" "$KORVAN_SKIPPED_FILE" | cut -d: -f2-)"
    return 0
  fi
  # Release: without debug information it builds faster; the package is stripped anyway.
  begin "cross build for $arch, tests under qemu-user, package (build-$arch)"
  cmake -S . -B "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKORVAN_BUILD_TOOLS=ON \
    -DCMAKE_CXX_FLAGS="-Wcast-align=strict -Werror=cast-align" >/dev/null
  cmake --build "build-$arch" -j "$jobs"
  ctest --test-dir "build-$arch" --output-on-failure -j "$jobs" --timeout 300
  ./scripts/package.sh "build-$arch" "$arch"
  finish "cross build for $arch"
}

for step in $steps; do
  case "$step" in
    sanitize) sanitize ;;
    tsan) tsan ;;
    fuzz) fuzz ;;
    cross) for arch in $arches; do cross "$arch"; done ;;
    *) echo "hardening: unknown step $step" >&2; exit 1 ;;
  esac
done
if [ -n "$own_skipped_file" ] && [ -s "$own_skipped_file" ]; then
  echo "hardening: SKIPPED: $(paste -sd ';' "$own_skipped_file")"
fi
