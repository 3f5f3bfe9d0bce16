#!/usr/bin/env bash
# The program's command line where there is no display: --help and --version answer without one,
# a wrong line is refused with status 2 and a hint, and the window itself says in one line that
# there is no display and exits with status 1.
#   tests/e2e/no_display_check.sh VERSIONINFO
set -u
program=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# status | what standard output holds | what standard error holds | arguments
rows=(
  "1||no display|"
  "0|Usage: versioninfo||--help"
  "0|Usage: versioninfo||-h"
  "0|versioninfo (versioninfo) ||--version"
  "2||Try 'versioninfo --help'.|--colour"
  "2||Try 'versioninfo --help'.|--version=yes"
  "2||give SOURCE|--installation 2"
  "2||counts from 1|disk.vhdx --installation 0"
  "2||Try 'versioninfo --help'.|one.vhdx two.vhdx"
  "1||no display|disk.vhdx"
)
for row in "${rows[@]}"; do
  IFS='|' read -r want out err args <<<"$row"
  # shellcheck disable=SC2086
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" $args </dev/null >"$dir/out" 2>"$dir/err"
  rc=$?
  got_out=$(cat "$dir/out") got_err=$(cat "$dir/err")
  [ "$rc" -eq "$want" ] || fail "'$args': exit status $rc, expected $want: $got_err"
  [[ $got_out == *"$out"* ]] || fail "'$args': no '$out' on standard output: $got_out"
  [[ $got_err == *"$err"* ]] || fail "'$args': no '$err' on standard error: $got_err"
  [ -n "$out" ] || [ -z "$got_out" ] || fail "'$args': standard output should stay empty: $got_out"
  if [ "$want" -eq 1 ] && [ "$(printf '%s\n' "$got_err" | wc -l)" -ne 1 ]; then
    fail "'$args': more than one line: $got_err"
  fi
done
[ $failures -eq 0 ] && echo PASS
[ $failures -eq 0 ]
