#!/usr/bin/env bash
# Builds the Windows program once more, from a copy of the sources in another folder and at another
# time, and requires the same bytes as the build under test: the program, and the zip that ships it
# (packed by CPack from each build tree, as scripts/package packs it).
#   tests/windows/reproducible_check.sh SOURCE_DIR TOOLCHAIN_FILE SOURCE_DATE_EPOCH PROGRAM.exe BUILD_DIR
set -euo pipefail
source_dir=$1 toolchain=$2 epoch=$3 exe=$4 build=$5

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

# The zips, each packed into a folder of its own.
for tree in "$build" "$work/out/elsewhere"; do
  out="$work/zip-$(basename "$tree")"
  cpack --config "$tree/CPackConfig.cmake" -G ZIP -B "$out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; exit 1; }
done
zips=("$work"/zip-"$(basename "$build")"/*.zip "$work"/zip-elsewhere/*.zip)
if ! cmp "${zips[@]}"; then
  echo "FAIL: the zips packed from the two builds differ; their entries:" >&2
  for zip in "${zips[@]}"; do
    python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(i.filename, i.date_time, i.file_size, hex(i.CRC))' "$zip" >&2
  done
  exit 1
fi
# The zip carries the program as it was linked: a strip when packing would stamp the time into it.
python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.stdout.buffer.write(z.read(next(n for n in z.namelist() if n.endswith("/versioninfo.exe"))))' "${zips[0]}" >"$work/zipped.exe"
cmp "$exe" "$work/zipped.exe" || { echo "FAIL: the program in the zip is not $exe as built" >&2; exit 1; }
echo "PASS: $(basename "$exe") built again in $work/out/elsewhere has the same $(stat -c %s "$exe") bytes," \
     "and so has the zip packed from each build ($(stat -c %s "${zips[0]}") bytes)"
