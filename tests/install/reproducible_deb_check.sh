#!/usr/bin/env bash
# Builds the Debian package once more, from a copy of the sources in another folder and at another
# time (release preset, packed by CPack as scripts/package packs it), and requires the same bytes as
# the package under test.
#   tests/install/reproducible_deb_check.sh dist/versioninfo_VERSION_ARCH.deb
set -euo pipefail
deb=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-deb-again-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The sources without any build tree; the date of the build is the one the tested package was made
# with, which a copy without git would not find (it would take the changelog's).
epoch=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t --full-time -v ./control | awk '{ print $4 " " $5 }')
epoch=$(date -u -d "$epoch" +%s)
mkdir "$work/src"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/src" -xf -
(
  cd "$work/src"
  # The benchmarks are not packaged; leaving them out makes this check cheaper.
  cmake --preset release -DVERSIONINFO_BUILD_BENCHMARKS=OFF -DVERSIONINFO_SOURCE_DATE_EPOCH="$epoch" &&
    cmake --build --preset release &&
    cpack --config build/release/CPackConfig.cmake -G DEB -B "$work/pack"
) >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

again=$(ls "$work"/pack/*.deb)
if ! cmp "$deb" "$again"; then
  echo "FAIL: the package built again in $work/src differs from $deb:" >&2
  diff <(ar tv "$deb"; dpkg-deb -c "$deb"; dpkg-deb --ctrl-tarfile "$deb" | tar -tv) \
       <(ar tv "$again"; dpkg-deb -c "$again"; dpkg-deb --ctrl-tarfile "$again" | tar -tv) >&2 || true
  mkdir "$work/a" "$work/b"
  dpkg-deb -R "$deb" "$work/a"
  dpkg-deb -R "$again" "$work/b"
  diff -r "$work/a" "$work/b" >&2 || true
  exit 1
fi
echo "PASS: $(basename "$deb") built again in $work/src has the same $(stat -c %s "$deb") bytes"
