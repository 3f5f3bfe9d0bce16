#!/usr/bin/env bash
# End-to-end check of the portable program on a real (virtual) X server: with the development store
# holding the Windows 10 Pro 22H2 example, the running window must show its values and caption.
# Each field is read from outside the program, by copying it to the X clipboard.
# Then, given a disk IMAGE, the window on its third installation (Windows 7 SP1) and on its first
# (Windows 98 SE on FAT), each read into memory, nothing written and the development store
# untouched; and without --installation, the list of its installations, read by keys.
# With PROBE (tests/programs/image-reader/reader_probe.cpp), the image reader stopped on signal 11 while it reads
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
# Under the sanitizers, a program that ends by itself (Esc in the list) is checked for leaks: those
# of the system's libraries are theirs.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp"

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

chooser_title="Choose a Windows installation"

# The program's visible window whose name is not NAME, within 30 s.
window_other_than() {  # window_other_than NAME
  local w
  for _ in $(seq 300); do
    for w in $(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null || true); do
      [ "$(xdotool getwindowname "$w" 2>/dev/null)" != "$1" ] && { echo "$w"; return 0; }
    done
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The window on an installation of the image: its caption and five fields. N names it with
# --installation N; otherwise the image is opened without it, and KEYS are pressed in the list of
# its installations.
window_on() {  # window_on N|KEYS CAPTION TEXT1 ... TEXT5
  local n=$1 caption=$2
  shift 2
  local expected=("$@") args=()
  [[ $n =~ ^[0-9]+$ ]] && args=(--installation "$n")
  rm -rf "$work/tmp" && mkdir "$work/tmp"
  TMPDIR="$work/tmp" "$program" "$image" "${args[@]}" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) || fail "no window appeared for $image"
  if [ ${#args[@]} -eq 0 ]; then
    check "The list of installations of $image" "$chooser_title" "$(xdotool getwindowname "$wid")"
    xdotool windowfocus --sync "$wid"
    # shellcheck disable=SC2086 # one key a word
    xdotool key --delay 50 $n
    wid=$(window_other_than "$chooser_title") || fail "no window after $n in the list of installations"
  fi
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
  # Without --installation, the list of the four: Down, Enter open the second (Windows 10 Pro).
  window_on "Down Return" 19 "10" "0" " (0)" "1" "WINDOWS 10 PRO"

  # Esc in the list ends the program, status 0, nothing written or left behind (Qt's own runtime
  # folder is not the program's to answer for: kept out of TMPDIR).
  rm -rf "$work/tmp" && mkdir "$work/tmp"
  mkdir -p -m 0700 "$work/runtime"
  XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" "$program" "$image" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) || fail "no list of installations"
  xdotool windowfocus --sync "$wid"
  xdotool key Escape
  for _ in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app_pid" 2>/dev/null && fail "the program did not end on Esc in the list of installations"
  status=0
  wait "$app_pid" || status=$?
  app_pid=""
  check "Exit status after Esc in the list" 0 "$status"
  check "Left behind after Esc in the list" "" "$(ls -A "$work/tmp")"
  check "Development store after Esc in the list" "$stored" "$(sha256sum "$store")"

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
