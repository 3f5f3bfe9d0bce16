#!/usr/bin/env bash
# The README's first command on a machine that has nothing yet: a fresh Debian 12 root (debootstrap,
# minbase), the project cloned into it, `scripts/run` run there as a new user would, and the window it
# opens (on a virtual display of this machine) read from outside: caption and the five fields.
#   tests/install/fresh_root_check.sh [SOURCE_DIR]
# The committed state of SOURCE_DIR is cloned (git), or, without git, its files less build/ and .git.
# Needs root (debootstrap, chroot, mounts) and Debian's archive; says SKIP without them.
# The pristine root is made once and kept in SOURCE_DIR/build/fresh-root/ (delete it to make a new
# one), with the packages apt downloads there, so that later runs fetch only what changed. Each run
# unpacks it afresh into memory (tmpfs) inside a mount namespace of its own: the copy and everything
# mounted into it end with the run's last process, and this machine's mount table never shows them.
set -euo pipefail
here=$(cd -P "$(dirname "$0")" && pwd)
src=$(cd -P "${1:-$here/../..}" && pwd)
suite=bookworm
started=$SECONDS

skip() { echo "SKIP: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "a fresh root needs root (debootstrap, chroot, mount); run scripts/test as root to include it"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/deps test installs it)"

# The archive this machine's apt uses, else Debian's own.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb[[:space:]]\+\(http[^[:space:]]*debian\)\/*[[:space:]]\+bookworm[[:space:]].*/\1/p' \
                              /etc/apt/sources.list 2>/dev/null | head -n1)
mirror=${mirror:-http://deb.debian.org/debian}
python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=15).read(1)' \
        "$mirror/dists/$suite/Release" 2>/dev/null ||
  skip "Debian's archive ($mirror) cannot be reached from here"

cache=$src/build/fresh-root
mkdir -p "$cache/apt-archives"
cache=$(cd -P "$cache" && pwd)
pristine=$cache/$suite-minbase.tar
work="" xvfb_pid="" run_pid="" leader="" run_ns=""

cleanup() {
  local rc=$?
  set +e  # every step of the cleanup is tried
  if [ -n "$run_pid" ]; then
    # Everything in the run's session and mount namespace: the window, or apt and the build when the
    # check gave up.
    if [ -n "$run_ns" ]; then
      [ "$(readlink "/proc/$leader/ns/mnt" 2>/dev/null)" = "$run_ns" ] && kill -9 -- "-$leader" 2>/dev/null || true
      for p in /proc/[0-9]*; do
        [ "$(readlink "$p/ns/mnt" 2>/dev/null)" = "$run_ns" ] && kill -9 "${p#/proc/}" 2>/dev/null || true
      done
    fi
    wait "$run_pid" 2>/dev/null || true
  fi
  stop_xvfb
  [ $rc -ne 0 ] && [ -n "$work" ] && [ -f "$work/run.log" ] &&
    { echo "--- scripts/run in the fresh root, last lines:" >&2; tail -n 40 "$work/run.log" >&2; }
  [ -n "$work" ] && rm -rf "$work"
  exit $rc
}
. "$here/../e2e/x11.sh"
trap cleanup EXIT
trap 'exit 1' INT TERM
failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/versioninfo-fresh-root-XXXXXX")

if [ ! -f "$pristine" ]; then
  echo "== Making a pristine Debian 12 root (debootstrap $suite, $mirror)"
  mkdir "$work/root"
  # Made in memory, in a mount namespace too: what debootstrap mounts there goes with it.
  unshare --mount --propagation private -- /bin/bash -c '
    set -e
    mount -t tmpfs -o mode=755 root "$1"
    debootstrap --variant=minbase "$2" "$1" "$3"
    tar -C "$1" --numeric-owner -cf "$4.new" .
  ' debootstrap "$work/root" "$suite" "$mirror" "$pristine" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; rm -f "$pristine.new"; fail "debootstrap failed"; }
  mv "$pristine.new" "$pristine"
  echo "   made in $((SECONDS - started)) s"
fi

if command -v git >/dev/null && git -C "$src" rev-parse --verify -q HEAD >/dev/null; then
  commit=$(git -C "$src" rev-parse HEAD)
  what="commit ${commit:0:7}"
else
  commit=""
  what="a copy of $src"
fi
start_xvfb
mkdir -p "$work/root"
run_start=$SECONDS
# The run: a new session (its process group is the whole run) with a mount namespace of its own. The
# subshell's notice of the run killed at the end goes nowhere.
(setsid unshare --mount --propagation private -- /bin/bash -c '
  set -e
  root=$1 pristine=$2 src=$3 commit=$4 archives=$5 display=$6
  echo $$ >"$root.leader"
  mount -t tmpfs -o mode=755 root "$root"
  tar -C "$root" --numeric-owner -xf "$pristine"
  mkdir "$root/src"
  if [ -n "$commit" ]; then
    git clone -q "$src" "$root/src/versioninfo"
    git -C "$root/src/versioninfo" checkout -q --detach "$commit"
  else
    mkdir "$root/src/versioninfo"
    tar -C "$src" --exclude=./build --exclude=./.git -cf - . | tar -C "$root/src/versioninfo" -xf -
  fi
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --bind /dev "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  mkdir -p "$root/tmp/.X11-unix"
  mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"  # the virtual display
  touch "$root/etc/resolv.conf"
  mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
  mount --bind "$archives" "$root/var/cache/apt/archives"
  echo "== Fresh root ready; scripts/run"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
       HOME=/root LANG=C.UTF-8 TERM=dumb DISPLAY="$display" /bin/bash -c "cd /src/versioninfo && exec scripts/run"
' fresh-root "$work/root" "$pristine" "$src" "$commit" "$cache/apt-archives" "$DISPLAY" \
  </dev/null >"$work/run.log" 2>&1; exit $?) 2>/dev/null &
run_pid=$!
own_ns=$(readlink /proc/self/ns/mnt)
echo "== scripts/run in a fresh root, on $what"

wid="" ready=""
declare -A reached
while [ $((SECONDS - run_start)) -lt 540 ]; do
  if [ -z "$run_ns" ] && [ -s "$work/root.leader" ]; then
    leader=$(cat "$work/root.leader")
    ns=$(readlink "/proc/$leader/ns/mnt" 2>/dev/null) || true
    [ -n "$ns" ] && [ "$ns" != "$own_ns" ] && run_ns=$ns
  fi
  if [ -z "$ready" ] && grep -qs '^== Fresh root ready' "$work/run.log"; then
    ready=$((SECONDS - run_start))
    echo "   root unpacked and project cloned in $ready s"
  fi
  # When scripts/run reaches each of its steps, for docs/building.md's figures.
  for step in Configuring Building Opening; do
    [ -z "${reached[$step]:-}" ] && grep -qs "^== $step" "$work/run.log" && reached[$step]=$((SECONDS - run_start))
  done
  wid=$(xdotool search --onlyvisible --class versioninfo 2>/dev/null | head -n1) || true
  [ -n "$wid" ] && break
  kill -0 "$run_pid" 2>/dev/null || { wait "$run_pid" && rc=0 || rc=$?; fail "scripts/run ended (exit $rc) with no window"; }
  sleep 1
done
[ -n "$wid" ] || fail "no window after $((SECONDS - run_start)) s"
up=$((SECONDS - run_start))
echo "== The window is up, $((up - ${ready:-0})) s after scripts/run started: packages" \
     "$((${reached[Configuring]:-0} - ${ready:-0})) s ($(grep -o 'Need to get .* of archives' "$work/run.log" | head -n1 || true))," \
     "configure $((${reached[Building]:-0} - ${reached[Configuring]:-0})) s," \
     "build $((${reached[Opening]:-0} - ${reached[Building]:-0})) s, window $((up - ${reached[Opening]:-0})) s;" \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
xdotool windowfocus --sync "$wid"

check Caption 19 "$(xdotool getwindowname "$wid")"
expected=("10" "0" " (0)" "1" "WINDOWS 10 PRO")
for i in 0 1 2 3 4; do
  [ "$i" -gt 0 ] && xdotool key Tab  # Text1 has the focus; Tab follows the tab order
  check "Text$((i + 1))" "${expected[$i]}" "$(copy_focused_field)"
done
kill -0 "$run_pid" 2>/dev/null || fail "the program ended while its window was up"

[ $failures -eq 0 ] || fail "$failures difference(s) in the window"
echo "PASS: from a fresh Debian 12 root to the window in $((SECONDS - started)) s"
