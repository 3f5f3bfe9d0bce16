#!/usr/bin/env bash
# End-to-end check of the portable program on a real (virtual) X server: with the development store
# holding the Windows 10 Pro 22H2 example, the running window must show its values and caption.
# Each field is read from outside the program, by copying it to the X clipboard.
#   tests/e2e/qt_window_check.sh VERSIONINFO REGSTORE STORE EXAMPLE.reg
set -euo pipefail
program=$1 regstore=$2 store=$3 example=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-qt-e2e-XXXXXX")
xvfb_pid="" app_pid=""
cleanup() {
  local rc=$?
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  [ $rc -ne 0 ] && [ -f "$work/app.log" ] && { echo "--- program output:" >&2; cat "$work/app.log" >&2; }
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The store holds exactly the example, as scripts/run leaves it.
rm -f "$store" "$store-journal"
"$regstore" --store "$store" import "$example"

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb gave no display number"
export DISPLAY=":$(head -n1 "$work/display")"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY

"$program" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!
wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) || fail "no window appeared"
xdotool windowfocus --sync "$wid"

failures=0
check() {  # name expected actual
  if [ "$2" = "$3" ]; then echo "  $1: '$3'"; else echo "  $1: expected '$2', window shows '$3'" >&2; failures=$((failures + 1)); fi
}
marker="(nothing copied)"
copy_focused_field() {
  printf '%s' "$marker" | xclip -selection clipboard -i >/dev/null 2>&1
  xdotool key --clearmodifiers ctrl+a ctrl+c
  local text
  for _ in $(seq 50); do
    text=$(xclip -o -selection clipboard 2>/dev/null || true)
    [ "$text" != "$marker" ] && { printf '%s' "$text"; return 0; }
    sleep 0.1
  done
  fail "nothing reached the clipboard from the focused field"
}

check Caption 19 "$(xdotool getwindowname "$wid")"
check Size "178x274" "$(xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p')"
expected=("10" "0" " (0)" "1" "WINDOWS 10 PRO")
for i in 0 1 2 3 4; do
  [ "$i" -gt 0 ] && xdotool key Tab  # Text1 has the focus; Tab follows the tab order
  check "Text$((i + 1))" "${expected[$i]}" "$(copy_focused_field)"
done
kill -0 "$app_pid" 2>/dev/null || fail "the program ended while its window was up"

[ $failures -eq 0 ] || fail "$failures difference(s) in the window"
echo "PASS"
