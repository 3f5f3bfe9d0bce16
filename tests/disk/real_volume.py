#!/usr/bin/env python3
"""Lines for `ntfs_put VOLUME batch` that fill a fresh NTFS volume as Windows setup and years of use
leave a system volume: about FILES records in use, most of them in Windows\\WinSxS (thousands of
folders) and System32 (thousands of files), Program Files, ProgramData and Users; the hives in
System32\\config beside SAM, SECURITY, DEFAULT, COMPONENTS, DRIVERS, their logs, RegBack, TxR and
Journal; SOFTWARE written in PIECES pieces between other files, so that its data lie in hundreds of
extents; a top-level folder whose DELETED files were made and deleted again.

    real_volume.py FILES SOFTWARE SYSTEM [--pieces N] [--deleted N] [--seed N] [--old SOFTWARE SYSTEM]

With --old, Windows.old\\WINDOWS holds those hives, as an in-place upgrade leaves the Windows it
replaced.
"""
import argparse
import hashlib
import os
import random
import sys


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("files", type=int)
    ap.add_argument("software")
    ap.add_argument("system")
    ap.add_argument("--pieces", type=int, default=300)
    ap.add_argument("--deleted", type=int, default=25000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--old", nargs=2, metavar=("SOFTWARE", "SYSTEM"))
    ap.add_argument("--work", default=".", help="folder for the pieces of SOFTWARE")
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    out = sys.stdout
    count = 0

    def line(*fields):
        nonlocal count
        out.write("\t".join(str(f) for f in fields) + "\n")
        count += 1

    def tag(*parts):
        return hashlib.sha1("/".join(map(str, parts)).encode()).hexdigest()

    def size():
        # Most files small enough to stay in their record; some take clusters of their own.
        return rnd.choice((0, 120, 300, 700, 700, 2000, 5000))

    config = "Windows/System32/config"
    # The hives first, then SOFTWARE grown piece by piece while other files are written, as a
    # registry that grew over years lies on disk.
    line("put", f"{config}/SYSTEM", a.system)
    for log in ("SYSTEM.LOG1", "SYSTEM.LOG2", "SOFTWARE.LOG1", "SOFTWARE.LOG2"):
        line("file", f"{config}/{log}", 0)
    for hive in ("SAM", "SECURITY", "DEFAULT", "COMPONENTS", "DRIVERS", "BBI", "ELAM"):
        line("file", f"{config}/{hive}", 8192 * rnd.randint(1, 4))
        line("file", f"{config}/{hive}.LOG1", 0)
        line("file", f"{config}/{hive}.LOG2", 0)
        line("file", f"{config}/RegBack/{hive}", 0)
    for n in range(6):
        line("file", f"{config}/TxR/{{{tag('txr', n)[:8]}}}.TxR.{n}.regtrans-ms", 1024)
    line("dir", f"{config}/Journal")
    line("dir", f"{config}/systemprofile")

    software = open(a.software, "rb").read()
    pieces = max(1, min(a.pieces, len(software) // 4096))
    step = (len(software) // pieces + 4095) // 4096 * 4096
    os.makedirs(a.work, exist_ok=True)
    chunks = []
    for n, at in enumerate(range(0, len(software), step)):
        path = os.path.join(a.work, f"software.{n}")
        with open(path, "wb") as f:
            f.write(software[at:at + step])
        chunks.append(path)

    budget = max(a.files - count - len(chunks), 1000)
    system32 = min(4000, budget // 10)
    winsxs = budget * 55 // 100
    other = budget - system32 - winsxs
    per_folder = 8
    fillers = []  # files written between SOFTWARE's pieces

    for n in range(system32):
        fillers.append(("file", f"Windows/System32/{tag('s32', n)[:10]}.dll", size()))
    for n in range(winsxs // per_folder):
        arch = rnd.choice(("amd64", "x86", "wow64", "msil"))
        folder = f"Windows/WinSxS/{arch}_microsoft-windows-{tag('sxs', n)[:12]}_31bf3856ad364e35_10.0.19041.{n % 4000}_none_{tag('h', n)[:16]}"
        for m in range(per_folder - 1):
            fillers.append(("file", f"{folder}/{tag(folder, m)[:12]}.dll", size()))
        fillers.append(("file", f"Windows/WinSxS/Manifests/{folder.split('/')[-1]}.manifest", 700))
    tops = ["Program Files", "Program Files (x86)", "ProgramData", "Users/user/AppData/Local", "Windows/Installer",
            "Windows/assembly", "Windows/SysWOW64"]
    for n in range(other):
        top = tops[n % len(tops)]
        fillers.append(("file", f"{top}/{tag(top, n // 50)[:8]}/{tag(top, n)[:10]}.dat", size()))

    # Folders keep their files together, as programs install them; SOFTWARE's pieces go between.
    every = max(1, len(fillers) // (len(chunks) + 1))
    for n, f in enumerate(fillers):
        line(*f)
        if n % every == every - 1 and chunks:
            line("append", f"{config}/SOFTWARE", chunks.pop(0))
    while chunks:
        line("append", f"{config}/SOFTWARE", chunks.pop(0))

    if a.old:
        line("put", "Windows.old/WINDOWS/System32/config/SOFTWARE", os.path.abspath(a.old[0]))
        line("put", "Windows.old/WINDOWS/System32/config/SYSTEM", os.path.abspath(a.old[1]))
        line("file", "Windows.old/Users/user/NTUSER.DAT", 8192)
    # Made and deleted: the folder's index keeps nothing of them but slack.
    for n in range(a.deleted):
        line("file", f"Temp/{tag('tmp', n)[:16]}.tmp", 0)
    for n in range(a.deleted):
        line("rm", f"Temp/{tag('tmp', n)[:16]}.tmp")
    line("file", "pagefile.sys", 4096)
    line("file", "swapfile.sys", 4096)


if __name__ == "__main__":
    main()
