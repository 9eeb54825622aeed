#!/usr/bin/env bash
# Installs, when missing, the Debian packages of one stage of the work; each
# stage holds the ones before it:
#   setup.sh --demo        what the demo builds and runs: the compiler and the
#                          libraries of the plug-in and of korvan-host
#   setup.sh --package     the package tools: dpkg-dev and file for CPack's
#                          dependencies, help2man for the man pages
#   setup.sh               (the test stage) the test tool chain, systemd for
#                          systemd-analyze, the broker, prometheus for promtool
#                          (the metrics' check), nut-client (the NUT server's test peers),
#                          snmpd, snmp and snmptrapd (the SNMP agent's) and the headless browser with
#                          its driver for the dashboard's test
#   setup.sh --hardening   clang with libFuzzer and the sanitizer runtimes,
#                          qemu-user, and per architecture of KORVAN_CROSS_ARCHES
#                          (default "arm64 armhf") its cross compiler and libraries
# Further arguments are extra packages. Idempotent: prints nothing and touches
# nothing when everything is already there.
#
# The package registry can be unwell for hours (an index of one architecture
# caught mid-sync, which also keeps apt from the other indexes of that
# release). Indexes are fetched per stage, the native architecture's alone for
# the native packages and with one foreign architecture at a time for each
# cross tool chain; apt-get update is tried three times, and an index that
# stays broken is a warning, since it may not serve anything needed: the
# install says whether it does. A cross architecture whose packages cannot be installed
# is skipped: it is named on one line and written to $KORVAN_SKIPPED_FILE (read
# by hardening.sh and test.sh), unless KORVAN_REQUIRE_CROSS=1 makes it an error.
set -euo pipefail

stage=2
case "${1:-}" in
  --demo) stage=0; shift ;;
  --package) stage=1; shift ;;
  --hardening) stage=3; shift ;;
esac

packages=(
  cmake make g++ pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev
  libsqlite3-dev libcli11-dev libmicrohttpd-dev libmosquitto-dev libsystemd-dev zlib1g-dev
  libsnmp-dev
)
[ "$stage" -ge 1 ] && packages+=(dpkg-dev file help2man binutils)
[ "$stage" -ge 2 ] && packages+=(
  libgtest-dev libgmock-dev libbenchmark-dev valgrind systemd mosquitto prometheus curl nut-client
  snmpd snmp snmptrapd
  chromium chromium-driver python3-selenium
)
cross_arches=()
if [ "$stage" -ge 3 ]; then
  packages+=(clang llvm libclang-rt-14-dev qemu-user)
  read -r -a cross_arches <<<"${KORVAN_CROSS_ARCHES:-arm64 armhf}"
fi
packages+=("$@")

# libcli11-dev (headers only) is architecture-independent: the base list serves
# the cross builds.
cross_packages() {
  local arch="$1" library
  echo "crossbuild-essential-$arch"
  for library in libc6 libstdc++6 libjsoncpp-dev libfmt-dev libboost-dev libgtest-dev \
    libgmock-dev libsqlite3-dev libmicrohttpd-dev libmosquitto-dev libsystemd-dev zlib1g-dev; do
    echo "$library:$arch"
  done
}

missing_of() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$package"
  done
}

skipped_file="${KORVAN_SKIPPED_FILE:-}"
skip_arch() {
  local arch="$1" cause="$2"
  if [ "${KORVAN_REQUIRE_CROSS:-0}" = 1 ]; then
    echo "setup: ERROR: the $arch cross tool chain cannot be installed ($cause); KORVAN_REQUIRE_CROSS=1" >&2
    exit 1
  fi
  echo "setup: SKIPPED: the $arch cross stage: its packages cannot be installed ($cause)" >&2
  [ -z "$skipped_file" ] || echo "cross $arch: packages cannot be installed ($cause)" >>"$skipped_file"
}

mapfile -t missing < <(missing_of "${packages[@]}")
declare -A cross_missing=()
for arch in "${cross_arches[@]}"; do
  mapfile -t list < <(missing_of $(cross_packages "$arch"))
  [ "${#list[@]}" -eq 0 ] || cross_missing[$arch]="${list[*]}"
done
[ "${#missing[@]}" -eq 0 ] && [ "${#cross_missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages ${missing[*]} ${cross_missing[*]}; run this script as root to install them" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

for arch in "${!cross_missing[@]}"; do
  if [ "$arch" != "$(dpkg --print-architecture)" ] &&
     ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
  fi
done

update_log="$(mktemp)"
trap 'rm -f "$update_log"' EXIT
index_trouble=""
# apt-get update, three times at most; extra arguments go to apt-get.
refresh_indexes() {
  local attempt
  for attempt in 1 2 3; do
    if apt-get update -qq "$@" >"$update_log" 2>&1; then
      index_trouble=""
      return 0
    fi
    index_trouble="$(grep -m1 '^E: Failed to fetch' "$update_log" | cut -c 1-200 || true)"
    [ -n "$index_trouble" ] || index_trouble="$(grep -m1 '^E:' "$update_log" || echo "exit code != 0")"
    [ "$attempt" -lt 3 ] && sleep $((attempt * 5))
  done
  echo "setup: warning: apt-get update failed 3 times, going on with the indexes it has: $index_trouble" >&2
}

install() { apt-get install -y -qq --no-install-recommends "$@" >"$update_log" 2>&1; }

native="$(dpkg --print-architecture)"
if [ "${#missing[@]}" -gt 0 ]; then
  # The native indexes only: a foreign architecture's trouble is its own stage's.
  refresh_indexes -o "APT::Architectures=$native"
  echo "setup: installing ${missing[*]}"
  if ! install -o "APT::Architectures=$native" "${missing[@]}"; then
    cat "$update_log" >&2
    echo "setup: ERROR: cannot install ${missing[*]}${index_trouble:+ (package indexes: $index_trouble)}" >&2
    exit 1
  fi
fi

# Each cross architecture on its own (its indexes and the native ones), so
# that one broken index costs only its stage.
for arch in "${!cross_missing[@]}"; do
  only=(-o "APT::Architectures=$native,$arch")
  refresh_indexes "${only[@]}"
  echo "setup: installing the $arch cross tool chain: ${cross_missing[$arch]}"
  if ! install "${only[@]}" ${cross_missing[$arch]}; then
    cause="$(grep -m1 -E '^E:|Depends:' "$update_log" | sed 's/^ *//' | cut -c 1-200 || true)"
    skip_arch "$arch" "${cause:-apt-get install failed}${index_trouble:+; indexes: $index_trouble}"
  fi
done
exit 0
