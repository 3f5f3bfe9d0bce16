#!/usr/bin/env bash
# End-to-end check of the Windows program under Wine on a virtual X display, for every release Wine
# emulates in one kind of prefix. For each release it starts versioninfo.exe, reads the caption and
# the five fields of the running window from outside (the X window name, and each text box copied
# to the X clipboard), and compares them with what the program's rules give for what Wine reports:
# the registry values the rules read (wine reg query) and the OS version record (our probe program,
# which carries the same manifest). It checks the icon in the caption bar, closes the window with
# Alt+F4 and requires exit code 0. It writes the results as a Markdown table. Then, with long
# product names in the registry, it checks that every box shows its whole value (the probe again).
#   tests/e2e/wine_window_check.sh --arch win32|win64 --probe PROBE.exe [--table OUT.md]
#       [--docs DOC.md] versioninfo.exe [release...]
# --docs: the table between this matrix's markers in DOC.md must be the one this run made.
set -euo pipefail

# The releases each kind of prefix accepts (winecfg /v), in the order of the table.
declare -A releases=(
  [win32]="win31 win95 win98 winme nt351 nt40 win2k winxp win2003 vista win2008 win7 win2008r2 win8 win81 win10"
  [win64]="winxp64 win2003 vista win2008 win7 win2008r2 win8 win81 win10"
)

arch="" probe="" table="" docs=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --probe) probe=$(realpath "$2"); shift 2 ;;
    --table) table=$2; shift 2 ;;
    --docs) docs=$2; shift 2 ;;
    *) break ;;
  esac
done
[ -n "${releases[$arch]:-}" ] && [ -n "$probe" ] && [ $# -ge 1 ] || {
  echo "usage: wine_window_check.sh --arch win32|win64 --probe PROBE.exe [--table OUT.md] [--docs DOC.md] PROGRAM.exe [release...]" >&2
  exit 2
}
exe=$(realpath "$1")
shift
versions=("$@")
[ ${#versions[@]} -gt 0 ] || read -r -a versions <<<"${releases[$arch]}"

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

export WINEPREFIX="$work/prefix" WINEARCH=$arch WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
mkdir -p "$WINEPREFIX"
# Started first and with no pipes of ours, so no Wine process holds the caller's output.
wineserver -p </dev/null >/dev/null 2>&1
# In a 64-bit prefix "wine reg" may be the 32-bit tool: the 64-bit program reads the 64-bit view.
reg_view=()
[ "$arch" = win64 ] && reg_view=(/reg:64)
# A 64-bit prefix goes through Wine's 64-bit loader, its tools too (see scripts/wine-run): the 32-bit
# one may not start at all on a kernel without IA-32 emulation.
loader=wine
[ "$arch" = win64 ] && loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
"$loader" wineboot --init </dev/null >/dev/null 2>&1
# Without a window manager: unmanaged windows close at once.
"$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1


# Data of one registry value as "wine reg query" prints it; status 1 when the value is missing,
# 2 when the key is.
reg_value() {
  local out
  out=$("$loader" reg query "$1" "${reg_view[@]}" </dev/null 2>/dev/null | tr -d '\r') || return 2
  printf '%s\n' "$out" | grep -q "^ *$2 *REG_" || return 1
  printf '%s\n' "$out" | sed -n "s/^ *$2 *REG_[A-Z_]* \{0,4\}//p" | head -n1
}

# The version code, 0 to 22, by the program's rules: the first pattern found in the upper-cased
# product name, else the OS version record.
name_patterns=("SERVER 2022:22" "SERVER 2019:21" "SERVER 2016:20" "SERVER 2012:18" "SERVER 2008:16"
               "SERVER 2003:13" "WINDOWS 10:19" "WINDOWS 8:17" "WINDOWS 7:15" "WINDOWS XP:12")
code_from_name() {
  local entry
  for entry in "${name_patterns[@]}"; do
    [[ "$1" == *"${entry%:*}"* ]] && { echo "${entry##*:}"; return; }
  done
  echo 0
}
code_from_record() {  # major minor platform product-type suite csd
  local major=$1 minor=$2 platform=$3 type=$4 suite=$5 letter=${6// /}
  local server=0
  [ "$type" = 3 ] && server=1
  case "$platform" in
    0) echo 1 ;;
    1) case "$major.$minor" in
         4.0) case "$letter" in C) echo 4 ;; B) echo 3 ;; *) echo 2 ;; esac ;;
         4.10) [ "$letter" = A ] && echo 6 || echo 5 ;;
         4.90) echo 7 ;;
         *) echo 0 ;;
       esac ;;
    2) case "$major.$minor" in
         4.*) echo 8 ;;
         5.0) if [ $server = 1 ]; then echo 10
              elif [ "$type" = 2 ] && (( suite & 2 )); then echo 11
              else echo 9; fi ;;
         5.1) echo 12 ;;
         5.2) echo 13 ;;
         6.0) echo 14 ;;
         6.1) echo $(( server ? 16 : 15 )) ;;
         6.*) echo $(( server ? 18 : 17 )) ;;
         10.*) echo $(( server ? 20 : 19 )) ;;
         *) echo 0 ;;
       esac ;;
    *) echo 0 ;;
  esac
}

# Reads the focused text box: types a marker at its end, copies the whole line (Home, Shift+End,
# Ctrl+C) and takes the marker off again. With the marker even an empty box puts something on the
# clipboard, so an empty field reads as empty instead of as "nothing copied".
read_focused_field() {
  xdotool key --clearmodifiers End x
  local text
  text=$(copy_focused_field)
  xdotool key --clearmodifiers End BackSpace
  [[ "$text" == *x ]] || fail "the marker typed into the field did not come back: '$text'"
  printf '%s' "${text%x}"
}

start_program() {
  "$loader" "$exe" </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --classname versioninfo.exe | head -n1) ||
    fail "the window of versioninfo.exe did not appear under $version"
  timeout 30 xdotool windowfocus --sync "$wid" || fail "the window did not take the focus under $version"
}

# Appends the five fields to `shown`. Text1 has the focus at start; Tab goes on in tab order.
read_fields() {
  local field
  for field in 1 2 3 4 5; do
    [ "$field" = 1 ] || xdotool key Tab
    shown+=("$(read_focused_field)")
  done
}

close_program() {
  xdotool key alt+F4
  for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$app_pid" 2>/dev/null && fail "Alt+F4 did not close the window under $version"
  local rc=0
  wait "$app_pid" || rc=$?
  app_pid=""
  check "Exit code" 0 "$rc"
}

failures=0
nt='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
rows=()
for version in "${versions[@]}"; do
  "$loader" winecfg /v "$version" </dev/null >/dev/null 2>&1
  echo "== $version"

  # What Wine says about itself.
  record=$("$loader" "$probe" </dev/null 2>&1 | tr -d '\r') || fail "the probe failed under $version: $record"
  IFS=$'\t' read -r numbers csd <<<"$record"
  read -r major minor _build platform service_pack suite product_type <<<"$numbers"
  [ -n "$product_type" ] || fail "the probe printed no version record under $version: $record"
  product=$(reg_value "$nt" ProductName) && found=0 || found=$?
  case $found in
    0) text5=${product^^} ;;
    1) text5="" ;;      # the key without the value: the read gives its default, ""
    *) text5="Unknow" ;;  # no key at all
  esac
  code=$(code_from_name "${text5}")
  [ "$code" != 0 ] || code=$(code_from_record "$major" "$minor" "$platform" "$product_type" "$suite" "$csd")

  start_program
  shown=("$(xdotool getwindowname "$wid")")
  read_fields
  expected=("$code" "$major" "$minor" "$csd ($service_pack)" "$product_type" "$text5")
  names=(Caption Text1 Text2 Text3 Text4 Text5)
  for i in "${!names[@]}"; do check "${names[$i]}" "${expected[$i]}" "${shown[$i]}"; done
  # The caption bar's icon reaches X as the window's icon property: ours has the blue of the
  # caption bar drawn in data/versioninfo.svg (#2b6cb0), which Wine's default icon has not.
  ours=$(xprop -id "$wid" -notype -f _NET_WM_ICON 32x ' = $0+\n' _NET_WM_ICON 2>/dev/null | grep -oic 0xff2b6cb0 || true)
  check "Caption-bar icon is ours" yes "$([ "${ours:-0}" -gt 0 ] && echo yes || echo no)"

  close_program

  row="| $version |"
  for value in "${shown[@]}"; do
    if [ -n "$value" ]; then row+=" \`$value\` |"; else row+=" (empty) |"; fi
  done
  rows+=("$row")
done

# Long product names, the longest real ones and 50 of the widest letter: each reads whole, and with
# its caret at the end every box still shows its first letter, inside the window.
for name in "Windows Server 2012 R2 Standard" "$(printf 'W%.0s' $(seq 50))"; do
  echo "== $version, product name '$name'"
  "$loader" reg add "$nt" /v ProductName /d "$name" /f "${reg_view[@]}" </dev/null >/dev/null 2>&1 ||
    fail "cannot set the product name"
  start_program
  shown=()
  read_fields
  check Text5 "${name^^}" "${shown[4]}"
  fields=$("$loader" "$probe" --fields </dev/null 2>&1 | tr -d '\r') || fail "the probe found no window: $fields"
  for field in 1 2 3 4 5; do
    check "Text$field hides no letter and lies inside the window" "Text$field 0 inside" \
      "$(grep "^Text$field " <<<"$fields" || echo "(not found)")"
  done
  close_program
done

matrix=$(
  echo "| Release (\`winecfg /v\`) | Caption | Text1 | Text2 | Text3 | Text4 | Text5 |"
  echo "|---|---|---|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
)
[ -z "$table" ] || printf '%s\n' "$matrix" >"$table"
if [ -n "$docs" ] && [ ${#versions[@]} -eq "$(wc -w <<<"${releases[$arch]}")" ]; then
  documented=$(sed -n "/<!-- wine matrix $arch -->/,/<!-- end of wine matrix -->/p" "$docs" | sed '1d;$d')
  if [ "$documented" != "$matrix" ]; then
    echo "  the $arch table in $docs is not the one this run made${table:+ ($table)}" >&2
    failures=$((failures + 1))
  fi
fi

[ $failures -eq 0 ] || fail "$failures difference(s) between the window and Wine"
echo "PASS: ${versions[*]}"
