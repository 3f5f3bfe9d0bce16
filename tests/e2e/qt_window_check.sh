#!/usr/bin/env bash
# End-to-end check of the portable program on a real (virtual) X server: with the development store
# holding the Windows 10 Pro 22H2 example, the running window must show its values and caption.
# Each field is read from outside the program, by copying it to the X clipboard.
# Then, given a disk IMAGE, the window on its third installation (Windows 7 SP1) and on its first
# (Windows 98 SE on FAT), each read into memory, nothing written and the development store
# untouched.
# With PROBE (tests/disk/reader_probe.cpp), the image reader stopped on signal 11 while it reads
# IMAGE: the error box names it.
#   tests/e2e/qt_window_check.sh VERSIONINFO REGSTORE STORE EXAMPLE.reg [IMAGE [PROBE]]
set -euo pipefail
program=$1 regstore=$2 store=$3 example=$4 image=${5:-} probe=${6:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-qt-e2e-XXXXXX")
xvfb_pid="" app_pid=""
cleanup() {
  local rc=$?
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  stop_xvfb
  [ $rc -ne 0 ] && [ -f "$work/app.log" ] && { echo "--- program output:" >&2; cat "$work/app.log" >&2; }
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
. "$(dirname "$0")/x11.sh"
failures=0

# The store holds exactly the example, as scripts/run leaves it.
rm -f "$store" "$store-journal" "$store-wal" "$store-shm"
"$regstore" --store "$store" import "$example"

start_xvfb
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

"$program" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) || fail "no window appeared"
xdotool windowfocus --sync "$wid"

check Caption 19 "$(xdotool getwindowname "$wid")"
# Fixed size: the window manager is asked for no other size than the one the window has.
size=$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p')
hints=$(xprop -id "$wid" WM_NORMAL_HINTS)
check "Smallest size" "$size" "$(sed -n 's/.*minimum size: \([0-9]*\) by \([0-9]*\)/\1x\2/p' <<<"$hints")"
check "Largest size" "$size" "$(sed -n 's/.*maximum size: \([0-9]*\) by \([0-9]*\)/\1x\2/p' <<<"$hints")"
expected=("10" "0" " (0)" "1" "WINDOWS 10 PRO")
for i in 0 1 2 3 4; do
  [ "$i" -gt 0 ] && xdotool key Tab  # Text1 has the focus; Tab follows the tab order
  check "Text$((i + 1))" "${expected[$i]}" "$(copy_focused_field)"
done
kill -0 "$app_pid" 2>/dev/null || fail "the program ended while its window was up"

# The window on installation N of the image: its caption and five fields.
window_on() {  # window_on N CAPTION TEXT1 ... TEXT5
  local n=$1 caption=$2
  shift 2
  local expected=("$@")
  rm -rf "$work/tmp" && mkdir "$work/tmp"
  TMPDIR="$work/tmp" "$program" "$image" --installation "$n" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) || fail "no window appeared for $image"
  xdotool windowfocus --sync "$wid"
  check "Caption of $image, installation $n" "$caption" "$(xdotool getwindowname "$wid")"
  for i in 0 1 2 3 4; do
    [ "$i" -gt 0 ] && xdotool key Tab
    check "Text$((i + 1)) of $image, installation $n" "${expected[$i]}" "$(copy_focused_field)"
  done
  check "Private store left behind" "" "$(cd "$work/tmp" && ls -d versioninfo-* 2>/dev/null)"
  check "Development store" "$stored" "$(sha256sum "$store")"
  kill "$app_pid" && wait "$app_pid" 2>/dev/null || true
}

if [ -n "$image" ]; then
  kill "$app_pid" && wait "$app_pid" 2>/dev/null || true
  stored=$(sha256sum "$store")
  window_on 3 15 "6" "1" "Service Pack 1 (1)" "1" "WINDOWS 7 PROFESSIONAL"
  # Windows 98 SE on the image's FAT volume: what its .reg example shows.
  window_on 1 6 "4" "10" " A  (0)" "0" "Unknow"

  # A source it cannot read: the error box is up, and nothing was written behind it (an
  # installation read from a source lives in memory only).
  TMPDIR="$work/tmp" "$program" "$work/none.raw" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" >/dev/null || fail "no error box for a missing source"
  check "Store written behind the error box" "" "$(cd "$work/tmp" && ls -d versioninfo-* 2>/dev/null)"
  kill "$app_pid" && wait "$app_pid" 2>/dev/null || true
fi

if [ -n "$probe" ]; then
  # The reader stopped mid-read: the error box, its text on stderr in one line, nothing in TMPDIR.
  rm -rf "$work/tmp" && mkdir "$work/tmp"
  # Qt's own runtime folder is not the program's to answer for: kept out of TMPDIR.
  mkdir -p -m 0700 "$work/runtime"
  # Under the sanitizers the probe comes before their runtime, and the reader's signal is the kernel's.
  asan="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0:handle_segv=0"
  ASAN_OPTIONS="$asan" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" LD_PRELOAD="$probe" READER_PROBE=signal READER_PROBE_SIGNAL=11 READER_PROBE_AFTER=3 \
    READER_PROBE_IMAGE="$image" "$program" "$image" --installation 3 </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" >/dev/null || fail "no error box for a stopped reader"
  check "Error of a stopped reader" \
    "versioninfo: $image: the image reader stopped on signal 11 (Segmentation fault)" \
    "$(sed -n 's/ while .*//p' "$work/app.log")"
  check "Lines of a stopped reader" 1 "$(wc -l <"$work/app.log")"
  check "TMPDIR after a stopped reader" "" "$(ls -A "$work/tmp")"
fi

[ $failures -eq 0 ] || fail "$failures difference(s) in the window"
echo "PASS"
