#!/usr/bin/env bash
# regstore's commands on disk images, as a user runs them: list-windows and import-windows on every
# container and layout the disk tests make, the choice among several installations, the refusals.
#   tests/programs/regstore/regstore_disk_test.sh REGSTORE IMAGES EXAMPLES CREG_WRITE
set -u
regstore=$1 images=$2 examples=$3 creg_write=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0 passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
r() { "$regstore" "$@"; }
run() { "$@" >"$dir/out" 2>"$dir/err"; }
# check STATUS TEXT DESCRIPTION -- COMMAND...: the exit status, and TEXT (unless "") in what it printed.
check() {
  local want=$1 text=$2 what=$3
  shift 4
  run "$@"
  local got=$?
  if [ "$got" -ne "$want" ]; then fail "$what: exit $got, expected $want"; cat "$dir/err"; return; fi
  if [ -n "$text" ] && ! grep -qF -- "$text" "$dir/out" "$dir/err"; then fail "$what: no '$text' in:"; cat "$dir/out" "$dir/err"; return; fi
  passed=$((passed + 1))
}
cd "$images" || exit 1

# One line per installation, on every container and layout: the volume, the folder, the code, the name.
win10='partition 2 (NTFS "System", offset 9437184): Windows  19  Windows 10 Pro'
earlier='(an earlier Windows, kept by an upgrade)'
win7="partition 2 (NTFS \"System\", offset 9437184): Windows.old $earlier  15  Windows 7 Professional"
xp='4  partition 5 (NTFS, offset 23068672): WINNT  12  Microsoft Windows XP'
gpt10='1  partition 3 (NTFS "System", offset 6291456): Windows  19  Windows 10 Pro'
gpt7="2  partition 3 (NTFS \"System\", offset 6291456): Windows.old $earlier  15  Windows 7 Professional"
real="partition 3 (NTFS \"System\", offset 122683392)"
rows=(
  "gpt.raw|$gpt10" "gpt.raw|$gpt7" "disk.vhdx|$gpt10" "stream.vmdk|$gpt7" "flat.vmdk|$gpt10"
  "overlay.qcow2|$gpt10" "base.qcow2|$gpt7" "evidence.E01|$gpt7"
  "mbr.raw|2  $win10" "mbr.raw|3  $win7" "mbr.raw|$xp" "fixed.vhd|$xp" "dynamic.vhd|3  $win7" "child.vhd|$xp"
  "sparse.vmdk|$xp" "split-vmdk/disk.vmdk|2  $win10" "split.raw.001|$xp" "whole.E01|$xp"
  "bare.raw|1  volume (NTFS \"System\", offset 0): Windows  19  Windows 10 Pro"
  "gpt4k.raw|1  partition 1 (NTFS \"Big\", offset 1048576): Windows  19  Windows 10 Pro"
  "mbr4k.raw|1  partition 1 (NTFS \"Big\", offset 1048576): Windows  19  Windows 10 Pro"
  "folder-root|3  folder: Windows.old $earlier  15  Windows 7 Professional"
  "folder-root|4  folder: Windows.old.000/WINDOWS $earlier  12  Microsoft Windows XP"
  "real/disk.raw|1  $real: Windows  19  Windows 10 Pro"
  "real/disk.raw|2  $real: Windows.old/WINDOWS $earlier  15  Windows 7 Professional"
  "junction.ntfs|1  volume (NTFS \"Links\", offset 0): Windows  19  Windows 10 Pro"
  "relative.ntfs|1  volume (NTFS \"Links\", offset 0): Windows  19  Windows 10 Pro"
  "folder-root/Windows|1  folder: /  19  Windows 10 Pro"
  "folder-config|1  folder: /  19  Windows 10 Pro"
  "mbr.raw|1  partition 1 (FAT12 \"WIN98\", offset 1048576): Windows (Windows 9x)  6  Microsoft Windows 98"
  "dynamic.vhd|1  partition 1 (FAT12 \"WIN98\", offset 1048576): Windows (Windows 9x)  6  Microsoft Windows 98"
  "me-fat32.raw|1  partition 1 (FAT32 \"WINME\", offset 1048576): WINDOWS (Windows 9x)  7  Microsoft Windows ME"
)
for row in "${rows[@]}"; do
  source=${row%%|*} line=${row#*|}
  run r list-windows "$source"
  if grep -qxF -- "$line" "$dir/out"; then passed=$((passed + 1)); else
    fail "list-windows $source: no line '$line' in:"; cat "$dir/out" "$dir/err"; fi
done

# What cannot be read is named, and nothing is listed.
check 1 "a BitLocker-encrypted volume" "BitLocker" -- r list-windows bitlocker.raw
check 1 "parent-gone.vhd" "a differencing disk without its parent" -- r list-windows orphan.vhd
check 1 "gone.qcow2" "an overlay without its backing file" -- r list-windows orphan.qcow2
check 1 "ReFS" "ReFS" -- r list-windows refs.raw
check 1 'Windows\System32\config is a junction to D:\Windows\System32\config, another volume: not followed' \
  "a junction to another volume on the way to the hives" -- r list-windows elsewhere.ntfs
# A parent that is there but cannot be read is named with the reason, not taken for a damaged image.
mkdir -p "$dir/chain/base.qcow2" "$dir/chain/dynamic.vhd"
cp overlay.qcow2 child.vhd "$dir/chain/"
check 1 "base.qcow2: a folder, not a disk image" "an overlay whose backing file is a folder" -- r list-windows "$dir/chain/overlay.qcow2"
check 1 "dynamic.vhd: a folder, not a disk image" "a differencing disk whose parent is a folder" -- r list-windows "$dir/chain/child.vhd"
check 1 "none.raw: No such file" "a missing source" -- r import-windows none.raw
check 0 "a BitLocker-encrypted volume" "a Windows beside a BitLocker volume, with a warning" -- r list-windows mixed.raw
check 0 "hibernated" "a hibernated volume is read, with a warning" -- r list-windows hiber.ntfs
check 2 "list-windows takes one or more SOURCEs" "list-windows without SOURCE" -- r list-windows
check 2 "list-windows takes no --installation" "list-windows --installation" -- r list-windows gpt.raw --installation 1
check 0 "Usage: regstore list-windows SOURCE" "list-windows --help" -- r list-windows --help
# list-windows writes nothing: no temporary folder is needed, and the store named is not made.
check 0 "$gpt10" "list-windows with an unwritable TMPDIR" -- env TMPDIR=/nonexistent/tmp "$regstore" list-windows gpt.raw
check 0 "$gpt10" "list-windows with --store" -- "$regstore" --store "$dir/untouched.db" list-windows gpt.raw
[ ! -e "$dir/untouched.db" ] && passed=$((passed + 1)) || fail "list-windows made the store it was given"

# --json: one object per installation, with what an inventory needs; null for what is not there.
run r list-windows --json disk.vhdx
if python3 - "$dir/out" <<'PY'; then passed=$((passed + 1)); else fail "list-windows --json disk.vhdx"; cat "$dir/out"; fi
import json, sys
got = json.load(open(sys.argv[1]))
want = [
    {"installation": 1, "partition": 3, "offset": 6291456, "fileSystem": "NTFS", "label": "System", "folder": "Windows",
     "earlier": False, "name": "Windows 10 Pro", "Caption": "19", "MajorVersion": "10", "MinorVersion": "0", "CSDVersion": " (0)",
     "ProductType": "1", "ProductName": "WINDOWS 10 PRO", "CurrentBuildNumber": "19045", "release": "22H2",
     "EditionID": "Professional"},
    {"installation": 2, "folder": "Windows.old", "earlier": True, "Caption": "15", "CurrentBuildNumber": "7601", "release": None},
]
assert len(got) == len(want), got
for g, w in zip(got, want):
    for k, v in w.items():
        assert g.get(k, "absent") == v, (k, g.get(k, "absent"), v)
    for k in ("UBR", "installDate", "computerName", "architecture"):
        assert k in g, k
PY

# A block device through the confined reader, which measures it by ioctl (root and a loop device needed).
if [ "$(id -u)" -eq 0 ] && loop=$(losetup -f --show -r gpt.raw 2>/dev/null); then
  check 0 "$gpt10" "list-windows of a block device" -- r list-windows "$loop"
  losetup -d "$loop"
fi

# Many sources at once: in the order given whatever order they finish in, each failure an object of
# its own, the others read; the same with one job or several. --recursive finds images by content.
many="$dir/many"
mkdir -p "$many/vms/deeper" "$many/empty/sub"
for f in gpt.raw disk.vhdx overlay.qcow2 base.qcow2 evidence.E0? flat.vmdk flat-flat.vmdk bitlocker.raw; do
  ln -s "$PWD/$f" "$many/vms/$f"; done
cp -r split-vmdk "$many/vms/deeper/split"
ln -s "$PWD/split-vmdk" "$many/vms/linked"
echo "not a disk" >"$many/vms/notes.txt"
for jobs in 1 4; do
  run r list-windows folder-config nothere.img "$many/vms" mbr.raw --recursive --jobs "$jobs" --json-lines
  echo $? >"$dir/status"
  if python3 - "$dir/out" "$dir/status" "$many/vms" <<'PY'; then passed=$((passed + 1)); else fail "list-windows of many sources, --jobs $jobs"; cat "$dir/out" "$dir/err"; fi
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
assert open(sys.argv[2]).read().strip() == "1", "exit status"
vms = sys.argv[3]
got = [(r["source"].replace(vms, "VMS"), r.get("installation"), r.get("Caption"), "error" in r) for r in rows]
want = [("folder-config", 1, "19", False), ("nothere.img", None, None, True)]
want += [("VMS/base.qcow2", 1, "19", False), ("VMS/base.qcow2", 2, "15", False), ("VMS/bitlocker.raw", None, None, True)]
want += [("VMS/deeper/split/disk.vmdk", n, c, False) for n, c in ((1, "6"), (2, "19"), (3, "15"), (4, "12"))]
for image in ("disk.vhdx", "evidence.E01", "flat.vmdk", "gpt.raw", "overlay.qcow2"):
    want += [("VMS/" + image, 1, "19", False), ("VMS/" + image, 2, "15", False)]
want += [("mbr.raw", n, c, False) for n, c in ((1, "6"), (2, "19"), (3, "15"), (4, "12"))]
assert got == want, "\n".join(map(str, got))
assert "BitLocker" in rows[4]["error"] and "No such file" in rows[1]["error"], rows
PY
done
# Lines name their source when there are several; a source's failure does not stop the others.
check 1 "mbr.raw  4  partition 5 (NTFS, offset 23068672): WINNT  12  Microsoft Windows XP" "lines of many sources" \
  -- r list-windows bitlocker.raw mbr.raw
grep -qF "BitLocker" "$dir/err" && passed=$((passed + 1)) || { fail "the failed source is named"; cat "$dir/err"; }
check 1 "a folder that holds no Windows installation and no disk image" "--recursive on a folder without images" \
  -- r list-windows "$many/empty" --recursive --csv
check 2 "" "--json and --json-lines" -- r list-windows gpt.raw --json --json-lines
check 2 "--jobs: from 1 to 1024" "--jobs 0" -- r list-windows gpt.raw --jobs 0
# CSV: a header and one row per installation, as Python's reader reads it, the same as the JSON.
run r list-windows gpt.raw nothere.img --csv
cp "$dir/out" "$dir/many.csv"
run r list-windows gpt.raw nothere.img --json
if python3 - "$dir/many.csv" "$dir/out" <<'PY'; then passed=$((passed + 1)); else fail "list-windows --csv"; cat "$dir/many.csv"; fi
import csv, json, sys
rows = list(csv.DictReader(open(sys.argv[1], newline="")))
objects = json.load(open(sys.argv[2]))
assert len(rows) == len(objects) == 3, rows
for row, obj in zip(rows, objects):
    for key in ("source", "installation", "folder", "error", "name", "Caption", "CurrentBuildNumber"):
        want = obj.get(key)
        want = "" if want is None else str(want)
        assert row[key] == want, (key, row[key], want)
PY

# Windows 11 keeps "Windows 10" in ProductName: the line names it Windows 11, the code stays 19.
# Inventory values the examples lack are added to its SOFTWARE and SYSTEM.
store="$dir/w11.db"
config="$dir/w11/Windows/System32/config"
mkdir -p "$config"
"$regstore" --store "$store" import "$examples/windows-11-23h2.reg"
"$regstore" --store "$store" set 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' --value UBR --type REG_DWORD --data 3007
"$regstore" --store "$store" set 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' --value InstallDate --type REG_DWORD --data 1700000000
"$regstore" --store "$store" set 'HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName' --value ComputerName --type REG_SZ --data 'DESK "7"'
"$regstore" --store "$store" set 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' --value PROCESSOR_ARCHITECTURE --type REG_SZ --data ARM64
"$regstore" --store "$store" export 'HKLM\SOFTWARE' "$config/SOFTWARE" --hive
"$regstore" --store "$store" export 'HKLM\SYSTEM' "$config/SYSTEM" --hive
check 0 "1  folder: Windows  19  Windows 11 Pro" "Windows 11 named so" -- r list-windows "$dir/w11"
run r list-windows --json "$dir/w11"
if python3 - "$dir/out" <<'PY'; then passed=$((passed + 1)); else fail "list-windows --json of Windows 11"; cat "$dir/out"; fi
import json, sys
g = json.load(open(sys.argv[1]))[0]
want = {"name": "Windows 11 Pro", "Caption": "19", "ProductName": "WINDOWS 10 PRO", "CurrentBuildNumber": "22631",
        "UBR": 3007, "release": "23H2", "installDate": "2023-11-14T22:13:20Z", "computerName": 'DESK "7"',
        "architecture": "ARM64"}
for k, v in want.items():
    assert g.get(k) == v, (k, g.get(k), v)
PY

# --details: what the registry keeps beside the version, and the end of support from the table
# installed beside the program; null where the registry lacks it.
run r list-windows --json --details "$dir/w11"
if python3 - "$dir/out" <<'PY'; then passed=$((passed + 1)); else fail "list-windows --details"; cat "$dir/out" "$dir/err"; fi
import json, sys
d = json.load(open(sys.argv[1]))[0]["details"]
for key in ("registeredOwner", "productId", "installTime", "timeZone", "hostName", "interfaces", "profiles", "updates"):
    assert key in d, key
assert d["installTime"] == "2023-11-14T22:13:20Z", d["installTime"]
assert d["endOfSupport"] in ("supported until 2025-11-11", "out of support since 2025-11-11"), d["endOfSupport"]
PY

# Windows 98 in a folder and on a FAT volume: its name from beside its version, the code 6.
mkdir -p "$dir/w98/WINDOWS"
"$creg_write" "$examples/windows-98-se.reg" "$dir/w98/WINDOWS"
mkfs.fat -n WIN98 -C "$dir/w98.img" 8192 >/dev/null && mcopy -i "$dir/w98.img" -s "$dir/w98/WINDOWS" ::/
check 0 "1  folder: WINDOWS (Windows 9x)  6  Microsoft Windows 98" "Windows 98 in a folder" -- r list-windows "$dir/w98"
check 0 '1  volume (FAT12 "WIN98", offset 0): WINDOWS (Windows 9x)  6  Microsoft Windows 98' "Windows 98 on FAT" \
  -- r list-windows "$dir/w98.img"

# import-windows: several installations and no --installation imports nothing and lists them.
rs() { "$regstore" --store "$dir/store.db" "$@"; }
check 1 "choose one with --installation N" "several installations" -- rs import-windows mbr.raw
grep -qF "  4  partition 5 (NTFS, offset 23068672): WINNT" "$dir/err" && passed=$((passed + 1)) ||
  { fail "the refusal lists the installations"; cat "$dir/err"; }
check 1 "not found" "nothing was imported" -- rs query 'HKLM\SOFTWARE'
check 1 "no installation 3; it holds 2" "an installation the source lacks" -- rs import-windows disk.vhdx --installation 3
# An earlier Windows kept by an upgrade is no choice beside the one in use, and is imported when chosen.
check 0 "" "import-windows of a disk with Windows.old" -- rs import-windows real/disk.raw
check 0 "$(printf 'Caption\t19')" "the Windows in use is imported" -- rs version
for row in "$dir/w98.img 1 6" "disk.vhdx 2 15" "real/disk.raw 2 15" "overlay.qcow2 1 19" "whole.E01 4 12" "sparse.vmdk 3 15" "gpt4k.raw 1 19" \
  "folder-config 1 19" "fixed.vhd 1 6" "me-fat32.raw 1 7"; do
  read -r source n code <<<"$row"
  check 0 "" "import-windows $source --installation $n" -- rs import-windows "$source" --installation "$n"
  check 0 "$(printf 'Caption\t%s' "$code")" "the window's code after importing $source" -- rs version
done
check 1 "w95-fat16.vfat, the volume, WINDOWS/SYSTEM.DA0, the copy of its last good state that Windows kept, is there" \
  "a Windows 95 whose SYSTEM.DAT is cut short, on an image" -- rs import-windows w95-fat16.vfat
grep -qF "nothing was imported" "$dir/err" && passed=$((passed + 1)) || fail "the refusal says nothing was imported"
check 0 "$(printf 'Caption\t7')" "the refused import leaves the Windows Me before" -- rs version

# A folder: an installation's own folder is read as its volume's root is; several in one are listed.
check 0 "" "import-windows of an installation's folder" -- rs import-windows folder-root/Windows
check 0 "$(printf 'Caption\t19')" "the window's code after importing an installation's folder" -- rs version
check 1 "4 installations; choose one with --installation N" "import-windows of a folder with two in use" \
  -- rs import-windows folder-root

# The same hives from a folder and from inside an image make the same store.
rs import-windows folder-root --installation 2 2>/dev/null && rs export 'HKLM' "$dir/from-folder.reg"
rs import-windows fixed.vhd --installation 2 2>/dev/null && rs export 'HKLM' "$dir/from-image.reg"
cmp -s "$dir/from-folder.reg" "$dir/from-image.reg" && passed=$((passed + 1)) ||
  fail "import-windows of a folder and of an image with the same hives differ"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
