#!/usr/bin/env bash
# Installs, when missing, every Debian package that the build, the tools, the
# tests and the Debian package (dpkg-dev and file for CPack's dependencies,
# help2man for the man pages, systemd for systemd-analyze) need: the HTTP
# server's and the MQTT client's libraries, the broker the uplink's tests
# start, and the headless browser with its driver for the dashboard's test.
# Idempotent: prints nothing and touches nothing when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libjsoncpp-dev libboost-dev libboost-date-time-dev libfmt-dev
  libgtest-dev libgmock-dev libsqlite3-dev libcli11-dev
  binutils libbenchmark-dev valgrind
  dpkg-dev file help2man systemd
  libcpp-httplib-dev libmosquitto-dev mosquitto curl
  chromium chromium-driver python3-selenium
)
# --hardening: also what scripts/hardening.sh needs: clang with libFuzzer and
# the sanitizer runtimes, qemu-user, and per architecture of
# KORVAN_CROSS_ARCHES (default "arm64 armhf") Debian's cross compiler and the
# libraries' packages of that architecture (libcli11-dev, headers only, is
# architecture-independent: the base list serves the cross builds).
if [ "${1:-}" = "--hardening" ]; then
  shift
  packages+=(clang llvm libclang-rt-14-dev qemu-user)
  for arch in ${KORVAN_CROSS_ARCHES:-arm64 armhf}; do
    packages+=("crossbuild-essential-$arch")
    for library in libc6 libstdc++6 libjsoncpp-dev libfmt-dev libboost-dev libgtest-dev libgmock-dev \
      libsqlite3-dev libcpp-httplib-dev libmosquitto-dev; do
      packages+=("$library:$arch")
    done
  done
fi
if [ "$#" -gt 0 ]; then packages+=("$@"); fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture (name:arch) need that architecture known to dpkg.
for package in "${missing[@]}"; do
  if [[ "$package" == *:* ]]; then
    arch="${package##*:}"
    if [ "$arch" != "$(dpkg --print-architecture)" ] &&
       ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      dpkg --add-architecture "$arch"
    fi
  fi
done
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
