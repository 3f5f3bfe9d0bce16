#!/usr/bin/env bash
# End-to-end check of the Windows program under Wine on a virtual X display, for several emulated
# Windows releases. For each one it starts versioninfo.exe, reads the caption and the five fields
# of the running window from outside (the X window name, and each text box copied to the X
# clipboard), compares them with what Wine's registry and its "ver" say, closes the window with
# Alt+F4 and requires exit code 0.
#   tests/e2e/wine_window_check.sh path/to/versioninfo.exe [winver...]
set -euo pipefail

exe=$(realpath "$1")
shift
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(win7 win2008r2 win10)

# The code each release's caption must show: its product name decides where a pattern matches,
# else its version record.
declare -A expected_code=([winxp64]=12 [vista]=14 [win2008]=16 [win7]=15 [win2008r2]=16 [win8]=17 [win81]=17
                         [win10]=19)

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-e2e-XXXXXX")
xvfb_pid=""
app_pid=""
cleanup() {
  local rc=$?
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  # The wineserver goes before the display it draws on.
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  stop_xvfb
  if [ $rc -ne 0 ] && [ -f "$work/app.log" ]; then
    echo "--- program output:" >&2
    cat "$work/app.log" >&2
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

. "$(dirname "$0")/x11.sh"
start_xvfb

export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
mkdir -p "$WINEPREFIX"
# Started first and with no pipes of ours, so no Wine process holds the caller's output.
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot --init </dev/null >/dev/null 2>&1
# Without a window manager: unmanaged windows close at once.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1

# Data of one registry value as "wine reg query" prints it, or nothing when it is missing.
reg_value() {
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* \{0,4\}//p" | head -n1 || true
}

failures=0
for version in "${versions[@]}"; do
  [ -n "${expected_code[$version]:-}" ] || fail "no expected version code for $version"
  wine winecfg /v "$version" </dev/null >/dev/null 2>&1
  echo "== $version"

  # What Wine says about itself.
  nt='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
  product=$(reg_value "$nt" ProductName)
  csd=$(reg_value "$nt" CSDVersion)
  packed=$(reg_value 'HKLM\System\CurrentControlSet\Control\Windows' CSDVersion)
  service_pack=$(( ${packed:-0} >> 8 & 0xFF ))
  case "$(reg_value 'HKLM\System\CurrentControlSet\Control\ProductOptions' ProductType)" in
    WinNT) product_type=1 ;;
    LanmanNT) product_type=2 ;;
    ServerNT) product_type=3 ;;
    *) product_type=0 ;;
  esac
  ver=$(wine cmd /c ver </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*Windows \([0-9][0-9]*\)\.\([0-9][0-9]*\)\..*/\1 \2/p')
  read -r major minor <<<"$ver"
  [ -n "$product" ] && [ -n "$major" ] || fail "Wine reports no product name or version for $version"

  wine "$exe" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --classname versioninfo.exe | head -n1) ||
    fail "the window of versioninfo.exe did not appear"
  xdotool windowfocus --sync "$wid"

  check Caption "${expected_code[$version]}" "$(xdotool getwindowname "$wid")"
  # Text1 has the focus at start; Tab goes on in tab order.
  check Text1 "$major" "$(copy_focused_field)"
  xdotool key Tab
  check Text2 "$minor" "$(copy_focused_field)"
  xdotool key Tab
  check Text3 "$csd ($service_pack)" "$(copy_focused_field)"
  xdotool key Tab
  check Text4 "$product_type" "$(copy_focused_field)"
  xdotool key Tab
  check Text5 "${product^^}" "$(copy_focused_field)"

  xdotool key alt+F4
  for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app_pid" 2>/dev/null && fail "Alt+F4 did not close the window"
  rc=0
  wait "$app_pid" || rc=$?
  app_pid=""
  check "Exit code" 0 "$rc"
done

[ $failures -eq 0 ] || fail "$failures difference(s) between the window and Wine"
echo "PASS: ${versions[*]}"
