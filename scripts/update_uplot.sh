#!/usr/bin/env bash
# Vendors one exact version of uPlot from the npm registry into dashboard/vendor/uplot/:
# the IIFE build, its stylesheet, its licence and a VERSION file with the tarball's
# sha512 integrity as the registry lists it. The tarball is checked against that
# integrity before anything is copied.
#   scripts/update_uplot.sh 1.6.32
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -ne 1 || ! "$1" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "usage: $0 VERSION   (an exact version such as 1.6.32)" >&2
  exit 2
fi
version="$1"
dest="dashboard/vendor/uplot"

integrity="$(npm view "uplot@$version" dist.integrity)"
if [[ "$integrity" != sha512-* ]]; then
  echo "the registry names no sha512 integrity for uplot@$version (got: '$integrity')" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && npm pack --silent "uplot@$version" >/dev/null)
tarball="$work/uplot-$version.tgz"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [[ "$actual" != "$integrity" ]]; then
  echo "uplot-$version.tgz does not match the registry's integrity:" >&2
  echo "  registry: $integrity" >&2
  echo "  tarball:  $actual" >&2
  exit 1
fi

tar -xzf "$tarball" -C "$work"
for file in dist/uPlot.iife.min.js dist/uPlot.min.css LICENSE; do
  if [[ ! -f "$work/package/$file" ]]; then
    echo "uplot-$version.tgz holds no $file" >&2
    exit 1
  fi
done

mkdir -p "$dest"
cp "$work/package/dist/uPlot.iife.min.js" "$work/package/dist/uPlot.min.css" \
  "$work/package/LICENSE" "$dest/"
printf 'uplot %s\nintegrity %s\nsource https://registry.npmjs.org/uplot/-/uplot-%s.tgz\n' \
  "$version" "$integrity" "$version" >"$dest/VERSION"
echo "uPlot $version vendored into $dest"
