#!/usr/bin/env bash
# Installs the Debian package on this machine, uses it as a user would, removes it and purges it:
#   tests/install/deb_install_check.sh dist/versioninfo_VERSION_ARCH.deb
# Needs root. It runs only where no versioninfo is installed, and purges the package and its store
# folder at the end, also when a check fails, so the machine is left as it was found.
set -euo pipefail
deb=$(realpath "$1")
package=versioninfo
store_dir=/var/lib/versioninfo
store=$store_dir/registry.db
example=/usr/share/versioninfo/examples/windows-7-sp1.reg
nt_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'

skip() { echo "SKIP: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "the install check needs root (dpkg -i); run scripts/test as root to include it"
# One check at a time on a machine: a second one would purge the first one's package.
exec 9>/run/lock/versioninfo-deb-check.lock
flock 9
if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
  skip "a $package package is installed here; the check would replace it"
fi
for path in "$store_dir" /usr/bin/versioninfo /usr/bin/regstore; do
  [ ! -e "$path" ] || skip "$path exists (an installation by hand?); the check would replace it"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-deb-XXXXXX")
xvfb_pid="" app_pid=""
cleanup() {
  local rc=$?
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  stop_xvfb
  dpkg --purge "$package" >/dev/null 2>&1 || true
  rm -rf "$store_dir" "$work"
  exit $rc
}
trap cleanup EXIT
. "$(dirname "$0")/../e2e/x11.sh"
failures=0

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
dpkg -L "$package" >"$work/files"
desktop-file-validate /usr/share/applications/versioninfo.desktop || fail "desktop entry"
appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml >"$work/appstream.log" ||
  { cat "$work/appstream.log" >&2; fail "AppStream metainfo"; }
check "store folder" "root:root 755" "$(stat -c '%U:%G %a' "$store_dir")"

umask 022
regstore import "$example" || fail "regstore import $example"
check "store file" "root:root 644" "$(stat -c '%U:%G %a' "$store")"
# Read back, also by a user other than root: the name as the example file gives it.
name=$(sed -n 's/^"ProductName"="\(.*\)"\r\?$/\1/p' "$example")
for user in root nobody; do
  line=$(runuser -u "$user" -- regstore query "$nt_key" --value ProductName | grep ProductName || true)
  check "ProductName read by $user" "$name" "$(sed 's/.*REG_SZ *//' <<<"$line")"
done

# Images are read by the installed image reader, which holds the image libraries; the programs do not.
check "image reader installed" /usr/libexec/versioninfo/regstore-image-reader \
  "$(grep -x /usr/libexec/versioninfo/regstore-image-reader "$work/files" || true)"
check "what the image reader says of /dev/null" \
  "regstore: /dev/null: neither a disk image file nor a block device" "$(regstore list-windows /dev/null 2>&1 || true)"
for program in /usr/bin/versioninfo /usr/bin/regstore; do
  check "image libraries linked by $program" "" \
    "$(ldd "$program" | grep -oE 'lib(tsk|qcow|vhdi|vmdk|ewf|afflib|creg|bfio|curl|gnutls|krb5)[^ ]*' || true)"
done
check "the package's dependencies name libseccomp and The Sleuth Kit" "yes" \
  "$(dpkg-query -W -f='${Depends}' "$package" | grep -q libseccomp2 && dpkg-query -W -f='${Depends}' "$package" | grep -q libtsk && echo yes || echo no)"

# The installed window reads the installed store: its caption is the example's version code.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  code=$(sed -n 's/.*the window shows version code \([0-9]*\).*/\1/p' "$example")
  start_xvfb
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  versioninfo </dev/null >"$work/app.log" 2>&1 &
  app_pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --pid "$app_pid" | head -n1) ||
    { cat "$work/app.log" >&2; fail "no window appeared"; }
  check "caption of the installed window" "$code" "$(xdotool getwindowname "$wid")"
  # The window reads its icon from the installed files: one of its colours is in the caption bar.
  ours=$(xprop -id "$wid" -notype -f _NET_WM_ICON 32x ' = $0+\n' _NET_WM_ICON 2>/dev/null | grep -oic 0xff2b6cb0 || true)
  check "caption-bar icon of the installed window" yes "$([ "${ours:-0}" -gt 0 ] && echo yes || echo no)"
fi

# Removing the package leaves the store and nothing else; purging takes the store too.
dpkg --remove "$package" >/dev/null
left=$(while read -r path; do if [ -f "$path" ]; then echo "$path"; fi; done <"$work/files")
check "files left after remove" "" "$left"
check "store folder after remove" "registry.db registry.db-shm registry.db-wal" \
  "$(ls -A "$store_dir" 2>&1 | paste -sd' ')"  # the store and its log, kept for readers
dpkg --purge "$package" >/dev/null
check "store folder after purge" "absent" "$([ -e "$store_dir" ] && echo present || echo absent)"

[ $failures -eq 0 ] || fail "$failures difference(s) in the installed package"
echo "PASS"
