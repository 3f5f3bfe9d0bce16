#!/usr/bin/env bash
# Started where there is no display, the program says so in one line and exits with status 1.
#   tests/e2e/no_display_check.sh VERSIONINFO
set -u
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$1" 2>&1 </dev/null)
rc=$?
echo "$out"
[ "$rc" -eq 1 ] || { echo "FAIL: exit status $rc, expected 1"; exit 1; }
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || { echo "FAIL: more than one line"; exit 1; }
[[ $out == *"no display"* ]] || { echo "FAIL: the line does not say there is no display"; exit 1; }
