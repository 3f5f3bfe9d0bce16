#!/usr/bin/env bash
# Builds the Windows program once more, from a copy of the sources in another folder and at another
# time, and requires the same bytes as the build under test.
#   tests/windows/reproducible_check.sh SOURCE_DIR TOOLCHAIN_FILE SOURCE_DATE_EPOCH PROGRAM.exe
set -euo pipefail
source_dir=$1 toolchain=$2 epoch=$3 exe=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-again-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The sources without any build tree or version-control data.
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work" -xf -
mkdir "$work/out"
cmake -S "$work" -B "$work/out/elsewhere" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$work/cmake/$(basename "$toolchain")" -DVERSIONINFO_BUILD_TESTS=OFF \
      -DVERSIONINFO_SOURCE_DATE_EPOCH="$epoch" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/out/elsewhere" --target versioninfo >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

again="$work/out/elsewhere/programs/versioninfo.exe"
if ! cmp "$exe" "$again"; then
  echo "FAIL: the second build differs from $exe; first differing bytes:" >&2
  cmp -l "$exe" "$again" | head -n 20 >&2
  exit 1
fi
echo "PASS: $(basename "$exe") built again in $work/out/elsewhere has the same $(stat -c %s "$exe") bytes"
