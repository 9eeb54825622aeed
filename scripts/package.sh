#!/usr/bin/env bash
# Builds the Debian package of a build directory and checks it.
#   scripts/package.sh                         configure and build build-package/
#       without the tests (only what the package holds), package, check
#   scripts/package.sh BUILD_DIR ARCH          package, then its contents
#   scripts/package.sh BUILD_DIR ARCH install  also install it with dpkg -i (root only),
#       try the installed programs with BUILD_DIR moved away, verify the unit
#       with systemd-analyze, then remove and purge it
# The build directory must be configured with -DCMAKE_INSTALL_PREFIX=/usr and built.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$#" -eq 0 ]; then
  ./scripts/setup.sh --package
  set -- build-package "$(dpkg --print-architecture)"
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DKORVAN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$1" -j "$(nproc)"
fi
build_dir="$1" arch="$2" action="${3:-}"

rm -rf "$build_dir/package"
cpack --config "$build_dir/CPackConfig.cmake" -B "$build_dir/package" >/dev/null
deb="$(ls "$build_dir"/package/korvan_*_"$arch".deb)"
echo "package: $deb, $(stat -c %s "$deb") bytes"

fail() { echo "package: $*" >&2; exit 1; }

# Contents: the architecture, the paths, and no RUNPATH that leaves the tree.
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture is not $arch"
depends="$(dpkg-deb -f "$deb" Depends)"
echo "package: Depends: $depends"
for library in libc6 libstdc++6 libjsoncpp libfmt libsqlite3 libmicrohttpd libsystemd0 zlib1g; do
  [[ "$depends" == *"$library"* ]] || fail "Depends lacks $library"
done
listing="$(dpkg-deb -c "$deb" | awk '{print $6}')"
triplet="$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)"
for path in ./usr/bin/korvan-host ./usr/bin/korvan-sim "./usr/lib/$triplet/korvan/libkorvan.so" \
    "./usr/lib/$triplet/korvan/libkmxhost.so" ./etc/korvan/korvan.json ./etc/default/korvan \
    ./usr/lib/systemd/system/korvan.service ./usr/share/man/man1/korvan-host.1.gz \
    ./usr/share/man/man1/korvan-sim.1.gz ./usr/share/man/man7/korvan-variables.7.gz \
    ./usr/share/doc/korvan/README.md ./usr/share/doc/korvan/docs/vocabulary.md \
    ./usr/share/doc/korvan/copyright ./usr/share/doc/korvan/examples/udev/60-korvan-serial.rules \
    ./usr/share/doc/korvan/examples/config/site.json ./usr/share/snmp/mibs/KORVAN-POWER-MIB.txt; do
  grep -qx "$path" <<<"$listing" || fail "$path is not in the package"
done
unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
dpkg-deb -e "$deb" "$unpacked/DEBIAN"
grep -qx /etc/korvan/korvan.json "$unpacked/DEBIAN/conffiles" || fail "korvan.json is no conffile"
grep -q "^License: Expat" "$unpacked/usr/share/doc/korvan/copyright" &&
  grep -q "Leon Sorokin" "$unpacked/usr/share/doc/korvan/copyright" ||
  fail "copyright lacks uPlot's licence"
man_page="$(zcat "$unpacked/usr/share/man/man1/korvan-host.1.gz")"
for command in run check simulate get list history alarms replay decode providers; do
  grep -q "^Usage: korvan-host $command " <<<"$man_page" || fail "korvan-host.1 lacks the command $command"
done
grep -q "$(pwd)" <<<"$man_page" && fail "korvan-host.1 names the build folder"
# korvan-variables.7 holds every name that the packaged program lists (a
# program of this machine's architecture only).
variables_page="$(zcat "$unpacked/usr/share/man/man7/korvan-variables.7.gz")"
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  names="$("$unpacked/usr/bin/korvan-host" list | cut -f1)"
  [ -n "$names" ] || fail "korvan-host list printed nothing"
  while read -r name; do
    grep -qxF ".B ${name//-/\\-}" <<<"$variables_page" || fail "korvan-variables.7 lacks $name"
  done <<<"$names"
fi
for binary in "$unpacked"/usr/bin/* "$unpacked/usr/lib/$triplet/korvan/"*.so; do
  runpath="$(readelf -d "$binary" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
  tr ':' '\n' <<<"$runpath" | grep -v '^$ORIGIN' | grep . &&
    fail "${binary#"$unpacked"} has a RUNPATH outside the tree: $runpath"
  # An empty entry is the current directory to the loader.
  [ -z "$runpath" ] || case ":$runpath:" in *::*) fail "${binary#"$unpacked"} has an empty RUNPATH entry: $runpath" ;; esac
  case "${binary##*/}" in
    korvan-host | korvan-sim) [ "$runpath" = "\$ORIGIN/../lib/$triplet/korvan:\$ORIGIN" ] ||
      fail "${binary#"$unpacked"} has RUNPATH \"$runpath\"" ;;
  esac
done
echo "package: contents of $arch checked ($(wc -l <<<"$listing") entries)"

[ "$action" = install ] || exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root: the install test (dpkg -i, purge) is skipped"
  exit 0
fi
if dpkg-query -W korvan >/dev/null 2>&1; then fail "a korvan package is installed already"; fi
away="$build_dir.moved-away"
work="$(mktemp -d)"
restore() {
  [ -d "$away" ] && mv "$away" "$build_dir"
  dpkg -P korvan >/dev/null 2>&1 || true
  rm -rf "$unpacked" "$work"
}
trap restore EXIT
dpkg -i "$deb" >/dev/null
mv "$build_dir" "$away"  # the installed files only
korvan-host --version
korvan-sim --version >/dev/null
# As installed, nothing is polled until a port is configured: check names what
# is missing and run ends with the code the unit neither retries nor fails on.
set +e
korvan-host check --config /etc/korvan/korvan.json --no-ports >"$work/check.out" 2>"$work/check.err"
check_code=$?
korvan-host run --config /etc/korvan/korvan.json --db "$work/run.db" >"$work/run.out" 2>"$work/run.err"
run_code=$?
set -e
[ "$check_code" -eq 9 ] && grep -q 'not configured: "port" is empty' "$work/check.err" ||
  fail "check of the installed configuration: exit code $check_code, $(cat "$work/check.err")"
[ "$run_code" -eq 12 ] && grep -q "not configured" "$work/run.err" ||
  fail "run of the installed configuration: exit code $run_code, $(cat "$work/run.err")"
sed 's#"port": ""#"port": "/dev/ttyUSB0"#' /etc/korvan/korvan.json >"$work/configured.json"
korvan-host check --config "$work/configured.json" --no-ports
(cd "$work" && korvan-host simulate --cycles 2 --db "$work/k.db" --quiet-log --summary on >"$work/sim.out")
grep -q "cycle 2" "$work/sim.out" || fail "simulate --cycles 2 printed no second cycle"
systemd-analyze verify /usr/lib/systemd/system/korvan.service
# Exposure 3.0 at most (systemd's scale of 0 to 10).
systemd-analyze security --offline=yes --threshold=30 /usr/lib/systemd/system/korvan.service \
  >"$work/security.out" || fail "the unit's exposure is above 3.0: $(tail -n 1 "$work/security.out")"
mv "$away" "$build_dir"
dpkg -r korvan >/dev/null
[ -f /etc/korvan/korvan.json ] || fail "remove took the conffile"
dpkg -P korvan >/dev/null
[ ! -e /etc/korvan/korvan.json ] && [ ! -e /usr/bin/korvan-host ] || fail "purge left files"
echo "package: installed, ran (--version, check, run unconfigured, simulate), verified the unit, removed, purged"
