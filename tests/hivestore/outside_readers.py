#!/usr/bin/env python3
"""Hives against three implementations that are not ours: libhivex (hivexml, hivexget,
hivexregedit), libregf (regfexport) and reglookup.

  1. A key of every kind of value and name goes into the store from a .reg file and out again with
     `regstore export --hive`; hivexregedit merges the same .reg file into an empty hive. Each
     outside reader must list the two hives alike.
  2. The hive hivexregedit filled is imported with `regstore import --key` and written again:
     hivexml lists the result as it lists the hive, and the store holds what the .reg import gave.
  3. Each example installation becomes a SOFTWARE and a SYSTEM hive written by hivexregedit (the
     control set as ControlSet001, named by Select\\Current), on a volume laid out as Windows lays it
     out; `import-windows` and `version` give what the example's .reg import gives, and the caption
     its header comment states. A second control set and a saved CurrentControlSet, both of another
     product type, must not count. Windows 95, 98 and Me keep no such hives; their examples' keys go
     into hives all the same, which shows that any content comes through.
  4. Each Windows 95, 98 and Me example becomes the SYSTEM.DAT and USER.DAT that release keeps in its
     Windows folder, written by creg_write; cregexport (libcreg) reads them, and `import-windows` and
     `version` give what the example's .reg import gives. A SYSTEM.DAT cut short is refused naming it
     and the SYSTEM.DA0 beside it, and the store keeps what it held.

Usage: outside_readers.py REGSTORE EXAMPLES_DIR CREG_WRITE
"""
import base64
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

regstore, examples, creg_write = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
work = Path(tempfile.mkdtemp())
failures = []
passed = 0


def check(ok, what, detail=""):
    global passed
    if ok:
        passed += 1
    else:
        failures.append(what)
        print(f"FAIL: {what}\n{detail}", file=sys.stderr)


def run(*cmd, ok=True):
    r = subprocess.run([str(c) for c in cmd], capture_output=True)
    if ok and r.returncode != 0:
        sys.exit(f"{' '.join(map(str, cmd))}: exit {r.returncode}\n{r.stderr.decode(errors='replace')}")
    return r


def rs(store, *args):
    return run(regstore, "--store", store, *args)


def hx(data):
    return ",".join(f"{b:02x}" for b in data)


def utf16(text):
    return (text + "\0").encode("utf-16-le")


# --- what each reader lists, with what differs between two writers of the same keys taken out -------
# The root's name, the order of values in a key (a list, unsorted), cell offsets and write times.

def hivexml_listing(hive):
    root = ET.fromstring(run("hivexml", hive).stdout)
    lines = []

    def walk(node, path):
        lines.append(("K", path))
        for child in node:
            if child.tag == "value":
                a = {k: v for k, v in child.attrib.items()}
                strings = tuple(s.text or "" for s in child.findall("string"))
                lines.append(("V", path, tuple(sorted(a.items())), strings))
            elif child.tag == "node":
                walk(child, path + "\\" + child.attrib["name"])

    walk(root.find("node"), "")
    return sorted(lines)


def reglookup_listing(hive):
    out = run("reglookup", "-H", hive).stdout.decode("latin-1").splitlines()
    return sorted(line.rsplit(",", 1)[0] for line in out)


def regfexport_listing(hive):
    text = run("regfexport", hive).stdout.decode("utf-8", errors="replace")
    keys = []
    for block in text.split("Key path: ")[1:]:
        head, _, rest = block.partition("\n")
        path = head.partition("\\")[2] if "\\" in head else ""
        values = sorted(re.sub(r"^\d+ ", "", v.strip()) for v in rest.split("\nValue: ")[1:])
        keys.append((path, tuple(values)))
    return sorted(keys)


READERS = {"hivexml": hivexml_listing, "reglookup": reglookup_listing, "regfexport": regfexport_listing}

# --- 1 and 2: every kind of value and name ------------------------------------------------------------

store = work / "store.db"
(work / "empty.reg").write_text("REGEDIT4\n\n[HKEY_CURRENT_USER\\Empty]\n")
rs(store, "import", work / "empty.reg")
empty_hive = work / "empty.hive"
rs(store, "export", "HKCU\\Empty", empty_hive, "--hive")

big = bytes((i * 7) % 251 for i in range(40000))  # past one cell: a list of data segments
lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_CURRENT_USER\\Hive]",
         '@="default of the root"', '"Text"="hello"',
         '"Expand"=hex(2):' + hx(utf16("%SystemRoot%\\system32")),
         '"Multi"=hex(7):' + hx(utf16("one\0two\0")),
         '"Japanese era"=hex(1):' + hx(utf16("明治_明_Meiji_M")),
         '"Dword"=dword:12345678', '"Qword"=hex(b):' + hx(bytes(range(1, 9))),
         '"Binary"=hex:' + hx(bytes(range(10))), '"Tiny"=hex:01,02', '"None"=hex(0):01',
         '"Empty"=hex:', '"Type 1234"=hex(4d2):01,02,03,04,05',
         '"名前 é"=dword:00000002', ""]
for name in ("Ωmega 明治 😀😀😀", "café", "a_", "A[", "Z", "zz", "É"):  # upper-cased order differs
    lines += [f"[HKEY_CURRENT_USER\\Hive\\{name}]", f'"v"=dword:{len(name):08x}', ""]
lines += ["[HKEY_CURRENT_USER\\Hive\\Many]", ""]
for i in range(1500):  # more subkeys than one list holds
    lines += [f"[HKEY_CURRENT_USER\\Hive\\Many\\k{i:04d}]", ""]
reg = work / "kinds.reg"
reg.write_text("\n".join(lines) + "\n", encoding="utf-8")
# A path longer than the 260 characters a .reg file may name: only a hive brings it.
deep = "HKEY_CURRENT_USER\\Hive\\Deep"
lines = ["Windows Registry Editor Version 5.00", "", f"[{deep}]", ""]
for i in range(40):
    deep += f"\\level {i:02d}"
    lines += [f"[{deep}]", ""]
lines += [f"[{deep}]", '"at the bottom"="yes"', ""]
deep_reg = work / "deep.reg"
deep_reg.write_text("\n".join(lines) + "\n", encoding="utf-8")

rs(store, "import", reg)
ours = work / "ours.hive"
rs(store, "export", "HKCU\\Hive", ours, "--hive")
ref = work / "ref.hive"
shutil.copy(empty_hive, ref)
run("hivexregedit", "--merge", "--prefix", "HKEY_CURRENT_USER\\Hive", ref, reg)

for reader, listing in READERS.items():
    a, b = listing(ours), listing(ref)
    check(a == b, f"{reader} lists the exported hive as it lists hivexregedit's",
          "\n".join(f"  ours: {x}" for x in a if x not in b)[:3000] + "\n" +
          "\n".join(f"  ref:  {x}" for x in b if x not in a)[:3000])
    check(len(a) > 1500, f"{reader} lists the keys", str(len(a)))
# A value in data segments, which hivexregedit does not write: checked against its bytes.
(work / "big.reg").write_text("REGEDIT4\n\n[HKEY_CURRENT_USER\\Big]\n\"Big\"=hex:" + hx(big) + "\n")
rs(store, "import", work / "big.reg")
rs(store, "export", "HKCU\\Big", work / "big.hive", "--hive")
value = ET.fromstring(run("hivexml", work / "big.hive").stdout).find("node/value")
check(value is not None and base64.b64decode(value.attrib["value"]) == big, "hivexml reads a value in data segments")
dump = run("regfexport", work / "big.hive").stdout.decode()
hex_bytes = bytes.fromhex("".join(m.group(1) for m in re.finditer(r"^[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2}){1,16})", dump, re.M)))
check(hex_bytes == big, "regfexport reads a value in data segments", f"{len(hex_bytes)} bytes")
# Values in data segments of every length mod 8, and around the segments' multiples: each reader takes
# a segment's length from its cell, so a last segment in a cell too small reads short.
SEGMENT = 16344
lengths = sorted({SEGMENT * k + d for k in (1, 2, 3) for d in range(-1, 9)} | {21428, 40004, 73315, 197444})
segment_data = {n: bytes(97 + (i * 7 + n) % 26 for i in range(n)) for n in lengths}  # letters: no escapes
(work / "segments.reg").write_text("REGEDIT4\n\n[HKEY_CURRENT_USER\\Segments]\n" + "".join(
    f'"len {n}"=hex:{hx(d)}\n' for n, d in segment_data.items()))
rs(store, "import", work / "segments.reg")
segments_hive = work / "segments.hive"
rs(store, "export", "HKCU\\Segments", segments_hive, "--hive")
read_back = {"hivexml": {}, "reglookup": {}, "regfexport": {}}
for v in ET.fromstring(run("hivexml", segments_hive).stdout).findall("node/value"):
    read_back["hivexml"][v.attrib.get("key", "")] = base64.b64decode(v.attrib["value"])
for line in run("reglookup", "-H", segments_hive).stdout.decode("latin-1").splitlines():
    path, kind, data = (line.split(",") + ["", "", ""])[:3]
    if kind == "BINARY":
        raw = re.sub(r"%([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), data)
        read_back["reglookup"][path.rsplit("/", 1)[1]] = raw.encode("latin-1")
for block in run("regfexport", segments_hive).stdout.decode(errors="replace").split("\nValue: ")[1:]:
    name = block.partition("\n")[0].split(" ", 1)[1]
    rows = re.findall(r"^[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2}){1,16})", block, re.M)
    read_back["regfexport"][name] = bytes.fromhex("".join(rows))
for reader, values in read_back.items():
    short = [f"{n}: {len(values.get(f'len {n}', b''))} bytes" for n, d in segment_data.items() if values.get(f"len {n}") != d]
    check(not short, f"{reader} reads every value in data segments whole", "  " + ", ".join(short))

key = "\\Ωmega 明治 😀😀😀"
a, b = run("hivexget", ours, key).stdout, run("hivexget", ref, key).stdout
check(a == b and b"dword:0000000c" in a, "hivexget finds the key named with emoji alike", f"{a!r}\n{b!r}")

# 2: hivexregedit's hive imported, then written again.
run("hivexregedit", "--merge", "--prefix", "HKEY_CURRENT_USER\\Hive", ref, deep_reg)
rs(store, "import", ref, "--key", "HKCU\\Back")
again = work / "again.hive"
rs(store, "export", "HKCU\\Back", again, "--hive")
a, b = hivexml_listing(again), hivexml_listing(ref)
check(a == b and any("at the bottom" in str(x) for x in b), "hivexml lists the imported hive as it was",
      "\n".join(f"  ours: {x}" for x in a if x not in b)[:3000])
rs(store, "delete", "HKCU\\Back\\Deep")
rs(store, "export", "HKCU\\Hive", work / "from-reg.reg")
rs(store, "export", "HKCU\\Back", work / "from-hive.reg")
from_reg = (work / "from-reg.reg").read_bytes().decode("utf-16")
from_hive = (work / "from-hive.reg").read_bytes().decode("utf-16")
check(from_hive == from_reg.replace("HKEY_CURRENT_USER\\Hive", "HKEY_CURRENT_USER\\Back"),
      "the hive imports to what the .reg file gave")

# --- 3: the example installations, through hives on a volume ------------------------------------------

LAYOUTS = ["Windows/System32/config", "WINDOWS/system32/CONFIG", "windows/SYSTEM32/Config"]
for n, example in enumerate(sorted(examples.glob("*.reg"))):
    base = work / example.stem
    base.mkdir()
    caption = re.search(r"version code ([0-9]+)", example.read_text(encoding="latin-1")).group(1)
    from_reg_store = base / "reg.db"
    rs(from_reg_store, "import", example)
    expected = rs(from_reg_store, "version").stdout.decode()

    volume = base / "volume"
    config = volume / LAYOUTS[n % len(LAYOUTS)]
    config.mkdir(parents=True)
    for hive_name, key in (("SOFTWARE", "SOFTWARE"), ("SYSTEM", "SYSTEM")):
        text = ""
        exported = base / f"{hive_name}.reg"
        if run(regstore, "--store", from_reg_store, "export", f"HKLM\\{key}", exported, ok=False).returncode == 0:
            text = exported.read_bytes().decode("utf-16")
        if hive_name == "SYSTEM":
            # On disk the control sets are numbered; CurrentControlSet exists only in a running system.
            text = re.sub(r"^\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet", r"[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001",
                          text, flags=re.M | re.I)
            text += "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n\"Default\"=dword:00000001\r\n"
            for decoy in ("ControlSet002", "CurrentControlSet"):
                for part in ("", "\\Control", "\\Control\\ProductOptions"):
                    text += f"\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\{decoy}{part}]\r\n"
                text += '"ProductType"="ServerNT"\r\n'
        merged = base / f"{hive_name}.utf8.reg"
        merged.write_text(text.lstrip("\ufeff"), encoding="utf-8")
        file_name = hive_name if n % 2 == 0 else hive_name.lower()
        shutil.copy(empty_hive, config / file_name)
        run("hivexregedit", "--merge", "--prefix", f"HKEY_LOCAL_MACHINE\\{key}", config / file_name, merged)

    from_hive_store = base / "hive.db"
    # Every other example names the config folder itself.
    warnings = rs(from_hive_store, "import-windows", config if n % 2 else volume).stderr.decode()
    check("CurrentControlSet was left out" in warnings,
          f"{example.name}: the saved CurrentControlSet is named as left out", warnings)
    got = rs(from_hive_store, "version").stdout.decode()
    check(got == expected and got.startswith(f"Caption\t{caption}\n"),
          f"{example.name}: import-windows and version give the example's fields and caption {caption}",
          f"  expected:\n{expected}  got:\n{got}")
    # Again into the same store: the SYSTEM written the first time goes, below the keys as well, after
    # the SOFTWARE of the same run was written.
    rs(from_hive_store, "import-windows", config)
    with sqlite3.connect(from_hive_store) as db:
        orphans = db.execute('SELECT (SELECT count(*) FROM "values" WHERE key NOT IN (SELECT id FROM keys)) + '
                             "(SELECT count(*) FROM keys WHERE parent IS NOT NULL AND parent NOT IN "
                             "(SELECT id FROM keys))").fetchone()[0]
    check(orphans == 0 and rs(from_hive_store, "version").stdout.decode() == expected,
          f"{example.name}: a second import-windows replaces the first whole", f"  rows left without their key: {orphans}")

# --- 4: Windows 95, 98 and Me, through their own registry files --------------------------------------

WINDOWS_FOLDERS = ["WINDOWS", "Windows", "windows"]
for n, example in enumerate(sorted(examples.glob("windows-9*.reg")) + sorted(examples.glob("windows-me*.reg"))):
    base = work / ("9x-" + example.stem)
    from_reg_store = base / "reg.db"
    base.mkdir()
    rs(from_reg_store, "import", example)
    expected = rs(from_reg_store, "version").stdout.decode()
    windows = base / "volume" / WINDOWS_FOLDERS[n % len(WINDOWS_FOLDERS)]
    windows.mkdir(parents=True)
    run(creg_write, example, windows)
    listed = run("cregexport", windows / "SYSTEM.DAT").stdout.decode(errors="replace")
    number = re.search(r'"VersionNumber"="([^"]*)"', example.read_text(encoding="latin-1")).group(1)
    check("Key path: Software\\Microsoft\\Windows\\CurrentVersion\n" in listed and f"Data: {number}\n" in listed,
          f"{example.name}: cregexport reads the SYSTEM.DAT written for it", listed[-2000:])

    store = base / "creg.db"
    rs(store, "import", examples / "windows-10-22h2.reg")  # another Windows, replaced whole
    # Every other example names the Windows folder itself.
    rs(store, "import-windows", windows if n % 2 else windows.parent)
    got = rs(store, "version").stdout.decode()
    check(got == expected, f"{example.name}: import-windows of SYSTEM.DAT gives the example's fields",
          f"  expected:\n{expected}  got:\n{got}")
    query = run(regstore, "--store", store, "query", "HKU\\.DEFAULT", ok=False)
    check(query.returncode == 0, f"{example.name}: USER.DAT becomes HKEY_USERS", query.stderr.decode())

    system = windows / "SYSTEM.DAT"
    shutil.copy(system, windows / "system.da0")
    system.write_bytes(system.read_bytes()[:-300])
    refused = run(regstore, "--store", store, "import-windows", windows, ok=False)
    message = refused.stderr.decode()
    check(refused.returncode == 1 and f"{system}: " in message and "truncated" in message
          and f"{windows / 'system.da0'}, the copy of its last good state" in message,
          f"{example.name}: a SYSTEM.DAT cut short is refused by name, its SYSTEM.DA0 named", message)
    check(rs(store, "version").stdout.decode() == expected, f"{example.name}: a refused import changes nothing")

print(f"{passed} passed, {len(failures)} failed")
shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
