"""The report: docs/benchmarks.md (or the build tree's) with the machine, the side-by-side table, how
each line was measured, and the cost of each call against store size."""
import os
import platform
import subprocess
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

from . import disks, hives, registry, startup
from .common import OWN_RUN_SECTIONS, ROOT, STARTED, log, section_of
from .table import Rows, fmt, markdown_table


def machine():
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    wine_version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    sqlite = subprocess.run(["pkg-config", "--modversion", "sqlite3"], capture_output=True, text=True).stdout.strip()
    qt = subprocess.run(["pkg-config", "--modversion", "Qt6Core"], capture_output=True, text=True).stdout.strip()
    # A source tarball or a copied tree has no git, or no history.
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%h %s"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = ""
    return [
        ("Date", datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("CPU", f"{cpu}, {os.cpu_count()} cores (nproc {len(os.sched_getaffinity(0))})"),
        ("Kernel", f"{platform.system()} {platform.release()}"),
        ("Load average at the start", " ".join(f"{x:.2f}" for x in os.getloadavg())),
        ("Software", f"{wine_version}, Qt {qt}, SQLite {sqlite}"),
        ("Commit", commit or "unknown"),
    ]


def write_report(p, args, r, out_dir):
    """The side-by-side table, the cost against store size and the chart, with how each was measured."""
    base = p.sizes[0]
    sizes = p.sizes
    rows = Rows()
    registry.call_rows(p, r, rows)
    registry.io_rows(p, r, rows)
    startup.startup_rows(r["startup"], rows)
    registry.flat_rows(p, r, rows)
    rows.group("Registry hives; reference: hivexml (libhivex) walking the same file, the import, or the limit")
    hives.hive_rows(r["hives"], rows)
    disks.disk_rows(p, r["disk"], rows)
    disks.real_disk_rows(p, r["real_disks"], rows)
    registry.listing_rows(p, r, rows)
    main_table = rows.markdown()

    # The chart's numbers, every measure at every size.
    flat_rows = [[label] + [fmt(r["flat"].get((m, s)), "µs") for s in sizes] for m, label, _ in registry.MEASURES]
    flat_table = markdown_table(["Operation"] + [f"{s:,} values" for s in sizes], flat_rows)

    print()
    print(f"ratio = ours / reference, of medians; registry calls: medians of {p.rounds} round(s)")
    print(main_table)
    not_met = rows.not_met()
    print(f"\n{not_met} target(s) not met" if not_met else "\nevery target met")

    out_dir.mkdir(parents=True, exist_ok=True)
    svg = out_dir / "benchmarks-store-size.svg"
    registry.chart(svg, sizes, r["flat"], {m: ref for m, (_, ref) in r["registry"].items()})
    command = "scripts/bench" + ("" if len(sys.argv) == 1 else " " + " ".join(sys.argv[1:]))
    md = [
        "# Benchmarks",
        "",
        f"Written by `{command}`, which took {(time.monotonic() - STARTED) / 60:.1f} minutes; every number below "
        "comes from that one run. Run it again to measure another machine or another version of the store.",
        "",
        markdown_table(["Machine", ""], machine()),
        "",
        "## Side by side",
        "",
        "How each line was measured (ratio = ours / reference, of medians; lower is better):",
        "",
        f"- Registry calls: median time per call on a store of {base:,} generated values (the Windows 10 "
        f"22H2 example plus keys of ten values), opened afresh once it is made, as a program finds a store "
        f"that another one wrote. {p.rounds} round(s), each running our Google Benchmark "
        f"program (`bench/registry_bench`, {p.preset} preset, medians of repetitions) and then the same measures "
        "built for Windows with mingw-w64 and run under Wine on Wine's registry (`registry_bench.exe`, a "
        "timing loop of ours, medians of batches); the median of the rounds is shown.",
        f"- .reg files: wall time of the whole command, median of {p.io_runs} pair(s) of runs; the Wine side "
        "starts from a prefix without the key. File size: our store file, and how much Wine's `system.reg` "
        "grows, after importing the same file.",
        "- Start-up: from just before exec to the moment the first painted frame reached the X server "
        "(Xvfb), reported by a probe linked into a benchmark build of the program (`bench/first_frame.cpp`); "
        f"median of {p.startup_runs} pair(s) after one warm-up pair. Peak memory: the program's own "
        "high-water mark of resident memory (VmHWM) at that moment, the highest of the runs; its own "
        "(anonymous) memory: the resident pages no file backs (heap, stacks, written data; "
        "/proc/self/smaps_rollup), at that moment, the highest of the runs. The rest of the resident set "
        "is pages of the program's files, which the kernel shares with its page cache.",
        "- Flatness: the registry measures on our store at each size (table below), the sizes of one "
        f"measure one after the other; {sizes[-1]:,} values against {sizes[0]:,}.",
        f"- Registry hives: `regstore import HIVE --key KEY` into a new store against `hivexml HIVE` to "
        f"/dev/null, wall time of the whole command and its user and system CPU time (GNU time), median of "
        f"{p.hive_runs} pair(s), each side first in every other pair (the 200 MB hive: half as many); the "
        "hives are written by `bench/hive_generate --shape system|software|user`, shaped as real ones are "
        "(key names of 17-20 characters, value names of about 11, 2.1-2.4 values a key, a median value of "
        "16-20 bytes and a largest of 200-270 KB, 36-50% REG_SZ, 18-25% REG_DWORD, 10-18% REG_BINARY, and a "
        "tenth of device property types in the SYSTEM). Peak memory: the command's maximum resident set "
        "(GNU time); the replay line is that of a hive left behind its log minus that of the same hive "
        "clean, medians. Writes: the write calls (`strace -f -c`) of one SOFTWARE-shaped import into a new "
        "store, per 4 KiB page of the store it made, and its other system calls (futex: the hive's reader "
        "thread handing keys to the writer). Export: the peak memory of `regstore export KEY FILE` of the 200 MB hive's key, "
        "and the time of that export from a 16 MB hive against `regstore import FILE` of what it wrote, into "
        "a new store (a .reg file of the 200 MB hive's key is more than the 64 MiB regstore reads).",
        "- Disk images: `bench/make_disk_image.sh` puts the SOFTWARE-sized hive into an NTFS volume (libntfs-3g) "
        "in a GPT partition of a sparse disk, converted to VHDX by qemu-img; `bench/disk_bench` (Google "
        f"Benchmark, medians of {max(p.hive_runs, 1)} repetitions, wall time) opens the image, finds the installation and "
        "reads the hive, each run from a fresh open; the reference mounts the same volume with ntfs-3g for each run "
        "and reads the file with read(2), as `cat` does. The bytes read are those the source read from the image "
        "after the container's decoding; the keys on demand are two deep keys of SOFTWARE and one of SYSTEM.",
        "- Disks shaped as years of use leave one: `tests/disk/make_real_disk.sh` (libntfs-3g, no root) lays out a "
        "GPT disk as Windows setup does (EFI FAT32, MSR, a 60 GiB NTFS system volume, a recovery partition) and "
        "fills the volume with `tests/disk/real_volume.py`: WinSxS with thousands of folders, System32 with "
        "thousands of files, Program Files, ProgramData, Users, the hives in System32\\config beside SAM, SECURITY, "
        "DEFAULT, COMPONENTS, DRIVERS, their logs, RegBack, TxR and Journal, SOFTWARE written in 300 pieces between "
        "other files, Windows.old\\WINDOWS, and a top-level folder of 25,000 files made and deleted again; "
        "the MFT records in use are counted from the MFT's own bitmap. The disks are made once and kept in the "
        "build folder. `bench/disk_bench` opens the raw disk, finds the installations and reads their version keys "
        "on demand (medians of repetitions, wall time, the file in the page cache); `regstore list-windows` is "
        f"timed whole, in turn with `regstore --version`, medians of {disks.LIST_RUNS[p.profile]} runs; the device is a "
        "read-only loop device over the raw disk in a blkio cgroup that reads it at "
        f"{disks.DEVICE_BPS / 1e6:.0f} MB/s, its buffers dropped before each run.",
        f"- Listing: `regstore export` of one key of {p.listing:,} values against the same number of values "
        f"in keys of ten, median of {p.io_runs} run(s); a run longer than {registry.EXPORT_TIMEOUT_S} s is stopped.",
        "",
        main_table,
        "",
        "## Cost against store size",
        "",
        "The registry measures again, on our store only, with the store holding each number of values "
        f"(medians of {p.reps} repetition(s)).",
        "",
        flat_table,
        "",
        f"![Time per call against store size]({svg.name})",
        "",
    ]
    doc = out_dir / "benchmarks.md"
    kept = [section_of(doc.read_text(), title) if doc.exists() else None for title in OWN_RUN_SECTIONS]
    doc.write_text("\n".join(md) + "".join("\n" + text.rstrip("\n") + "\n" for text in kept if text))
    log(f"wrote {out_dir / 'benchmarks.md'} and {svg}")
