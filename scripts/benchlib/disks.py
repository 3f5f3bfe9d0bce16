"""Disk images: an installation in a sparse VHDX of a fresh volume (bench/disk_bench) against cat from an
ntfs-3g mount; disks shaped as years of use leave one, against limits and against twice the files;
regstore list-windows timed whole, and from a device read at DEVICE_BPS."""
import json
import os
import shutil
import subprocess
from pathlib import Path

from .common import ROOT, fresh_store, log, median, recipe_key, run, seconds, timed
from .hives import HIVE_MEMORY_SLACK_MIB
from . import many_images

DISK_GIB = {"full": 4, "quick": 4, "smoke": 1}

DISK_QUERY_LIMIT_MIB = 8

DISK_QUERY_LIMIT_S = 0.2

REAL_DISK_FILES = {"full": 255000, "quick": 255000, "smoke": 3000}

REAL_SOFTWARE_MB = {"full": 80, "quick": 80, "smoke": 1}

REAL_LIST_LIMIT_MIB = 8

REAL_LIST_LIMIT_S = 0.1

REAL_TWICE_LIMIT = 1.10

DEVICE_BPS = 50_000_000

DEVICE_LIMIT_S = 0.3

# The details (list-windows --details): bytes read per installation, and the time of a disk's two.
DETAIL_LIMIT_MIB = 16

DETAIL_LIMIT_S = 0.3

# Servicing packages in the Windows 10 SOFTWARE of the disks (years of monthly updates leave thousands).
DETAIL_PACKAGES = {"full": 3000, "quick": 3000, "smoke": 50}

LIST_RUNS = {"full": 30, "quick": 15, "smoke": 1}

LIST_VERSION_LIMIT = 2  # list-windows of a small image / regstore --version


def measure_disk(p, work, build):
    """Installations read straight from a sparse VHDX (bench/disk_bench, Google Benchmark): finding
    them and a few keys on demand, with the bytes read from the image; reading the SOFTWARE hive
    against `cat` of it from an ntfs-3g mount of the same volume (skipped, with its reason, without
    FUSE or root)."""
    d = work / "disk"
    log(f"a {DISK_GIB[p.profile]} GiB VHDX with a {p.software_mb} MB SOFTWARE hive")
    run(["bash", ROOT / "bench/make_disk_image.sh", d, build / "bench/hive_generate", build / "disk/ntfs_put",
         p.software_mb, DISK_GIB[p.profile]])
    log("installations and hives read from the VHDX, and cat from an ntfs-3g mount")
    output = run([build / "bench/disk_bench", f"--image={d / 'disk.vhdx'}", f"--volume={d / 'volume.ntfs'}",
                  "--benchmark_format=json", f"--benchmark_repetitions={max(p.hive_runs, 1)}",
                  "--benchmark_report_aggregates_only=true",
                  f"--benchmark_min_time={0.0001 if p.profile == 'smoke' else 0.5}"])
    m = {"skipped": {}}
    for b in json.loads(output)["benchmarks"]:
        name = b["run_name"].split("/")[1]
        if b.get("error_occurred"):
            m["skipped"][name] = b.get("error_message", "")
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        m[name] = dict(b, seconds=seconds(b))
    # As a user runs it: the whole process, the image reader's start included.
    log("regstore list-windows of the VHDX, the whole process")
    samples = []
    for i in range(LIST_RUNS[p.profile] + 1):  # the first run warms the file cache and is dropped
        t = timed([build / "programs/regstore", "list-windows", d / "disk.vhdx"])
        if i > 0 or LIST_RUNS[p.profile] == 0:
            samples.append(t)
    m["list_windows_process"] = median(samples)
    return m


def details_reg(path, packages):
    """What the details read on a machine of some years: DETAIL_PACKAGES servicing packages (a KB's in
    several, most superseded), profiles and network interfaces, as a .reg file."""
    cbs = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Component Based Servicing\Packages"
    lines = ["Windows Registry Editor Version 5.00", ""]
    for i in range(packages):
        name = (f"Package_{i % 7}_for_KB{5000000 + i // 7}~31bf3856ad364e35~amd64~~19041.{i}.1.6" if i % 3
                else f"Microsoft-Windows-Feature-{i}-Package~31bf3856ad364e35~amd64~en-US~10.0.19041.{i}")
        time = 0x01D6000000000000 + i * 0x000000C92A69C000
        lines += [f"[{cbs}\\{name}]", f'"CurrentState"=dword:{0x70 if i % 5 == 0 else 0x50:08x}',
                  f'"InstallTimeHigh"=dword:{time >> 32:08x}', f'"InstallTimeLow"=dword:{time & 0xFFFFFFFF:08x}',
                  f'"InstallName"="{name}.mum"', '"InstallClient"="UpdateAgentLCU"', '"InstallUser"="S-1-5-18"',
                  f'"InstallLocation"="C:\\\\Windows\\\\SoftwareDistribution\\\\Download\\\\{i:032x}"',
                  '"Visibility"=dword:00000002', '"SelfUpdate"=dword:00000000', '"LastError"=dword:00000000', ""]
    profiles = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList"
    for i, sid in enumerate(["S-1-5-18", "S-1-5-19", "S-1-5-20"] + [f"S-1-5-21-1-2-3-{1000 + n}" for n in range(5)]):
        lines += [f"[{profiles}\\{sid}]", f'"ProfileImagePath"="C:\\\\Users\\\\user{i}"',
                  '"LocalProfileLoadTimeHigh"=dword:01da1747', '"LocalProfileLoadTimeLow"=dword:c66d0000', ""]
    interfaces = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces"
    for i in range(8):
        lines += [f"[{interfaces}\\{{{i:08x}-0000-0000-0000-000000000000}}]", f'"EnableDHCP"=dword:{i % 2:08x}',
                  f'"DhcpIPAddress"="192.168.{i}.20"', f'"DhcpServer"="192.168.{i}.1"', ""]
    path.write_text("\r\n".join(lines), encoding="utf-16")


def real_disk_hives(p, build, folder):
    """SOFTWARE: the Windows 10 example's keys with a generated SOFTWARE of REAL_SOFTWARE_MB beside them
    (under Classes) and what the details read (details_reg); SYSTEM the example's; the Windows 7
    example's two for Windows.old."""
    regstore, generator = build / "programs/regstore", build / "bench/hive_generate"
    folder.mkdir(parents=True, exist_ok=True)
    for name, example in (("10", "windows-10-22h2.reg"), ("7", "windows-7-sp1.reg")):
        store = folder / f"{name}.db"
        fresh_store(store)
        run([regstore, "--store", store, "import", ROOT / "examples" / example])
        if name == "10":
            # The example's own SOFTWARE, for a small image.
            run([regstore, "--store", store, "export", "--hive", r"HKLM\SOFTWARE", folder / "SOFTWARE.small"])
            run([generator, folder / "bulk", "--shape", "software", "--megabytes", REAL_SOFTWARE_MB[p.profile]])
            run([regstore, "--store", store, "import", folder / "bulk", "--key", r"HKLM\SOFTWARE\Classes"])
            details_reg(folder / "details.reg", DETAIL_PACKAGES[p.profile])
            run([regstore, "--store", store, "import", folder / "details.reg"])
        for hive in ("SOFTWARE", "SYSTEM"):
            run([regstore, "--store", store, "export", "--hive", rf"HKLM\{hive}", folder / f"{hive}.{name}"])
        fresh_store(store)
    (folder / "bulk").unlink(missing_ok=True)
    (folder / "details.reg").unlink(missing_ok=True)


def real_disks(p, build):
    """The disks, with FILES and with twice as many files, made once into BUILD/bench-disks and made
    again when their recipe changes; each with the MFT records in use on its system volume."""
    files = REAL_DISK_FILES[p.profile]
    key = recipe_key(ROOT / "tests/disk/make_real_disk.sh", ROOT / "tests/disk/real_volume.py",
                     ROOT / "examples/windows-10-22h2.reg", ROOT / "examples/windows-7-sp1.reg",
                     REAL_SOFTWARE_MB[p.profile], DETAIL_PACKAGES[p.profile], details_reg.__doc__)
    base = build / "bench-disks"
    hives = base / f"hives-{key}"
    p.real_hives = hives
    if not (hives / "SOFTWARE.small").exists():
        log(f"the hives of the disks shaped as years of use leave one ({REAL_SOFTWARE_MB[p.profile]} MB SOFTWARE)")
        real_disk_hives(p, build, hives)
    disks = {}
    for label, n in (("real", files), ("twice", 2 * files)):
        d = base / f"{n}-{key}"
        if not (d / "records").exists():
            log(f"a disk whose system volume holds {n:,} files (kept in {base})")
            shutil.rmtree(d, ignore_errors=True)
            run(["bash", ROOT / "tests/disk/make_real_disk.sh", d, build / "disk/ntfs_put", n, hives / "SOFTWARE.10",
                 hives / "SYSTEM.10", "--old", hives / "SOFTWARE.7", hives / "SYSTEM.7"])
            # The records in use: the bits set in the MFT's own bitmap.
            bitmap = subprocess.run(["ntfscat", "-f", "-a", "0xB0", d / "volume.ntfs", "$MFT"], capture_output=True,
                                    check=True).stdout
            (d / "volume.ntfs").unlink()
            (d / "records").write_text(str(sum(bin(b).count("1") for b in bitmap)))
        disks[label] = {"path": d / "disk.raw", "files": n, "records": int((d / "records").read_text())}
    return disks


def device_list_time(p, regstore, image):
    """list-windows of a read-only loop device over `image` read at DEVICE_BPS (a blkio cgroup), each
    run after the device's cache was dropped: median seconds, or the reason it cannot be measured."""
    if os.geteuid() != 0:
        return "not root: no loop device or cgroup can be made"
    blkio = Path("/sys/fs/cgroup/blkio")
    if not (blkio / "blkio.throttle.read_bps_device").exists():
        return "no cgroup v1 blkio controller to throttle a device with"
    device = subprocess.run(["losetup", "-r", "-f", "--show", str(image)], capture_output=True, text=True)
    if device.returncode != 0:
        return "losetup could not make a loop device"
    device = device.stdout.strip()
    group = blkio / f"versioninfo-bench-{os.getpid()}"
    try:
        group.mkdir()
        numbers = os.stat(device).st_rdev
        (group / "blkio.throttle.read_bps_device").write_text(f"{os.major(numbers)}:{os.minor(numbers)} {DEVICE_BPS}")
        samples = []
        for _ in range(max(3, LIST_RUNS[p.profile] // 5)):
            run(["blockdev", "--flushbufs", device])
            samples.append(timed(["sh", "-c", f'echo $$ > "{group}/cgroup.procs" && exec "$0" list-windows "$1"',
                                  regstore, device]))
        return median(samples)
    finally:
        subprocess.run(["losetup", "-d", device])
        if group.exists():
            group.rmdir()


def measure_real_disks(p, work, build):
    """Finding Windows on disks shaped as years of use leave one (bench/disk_bench: bytes read and time of
    the installations and their version keys on demand), and regstore list-windows as a user runs it:
    on such a disk, on a device read at DEVICE_BPS, and on a small image against regstore --version."""
    disks = real_disks(p, build)
    regstore = build / "programs/regstore"
    log("installations and their version keys found on the disks shaped as years of use leave one")
    output = run([build / "bench/disk_bench", *[f"--disk={label}={d['path']}" for label, d in disks.items()],
                  "--benchmark_format=json",
                  f"--benchmark_repetitions={max(p.hive_runs, 1)}", "--benchmark_report_aggregates_only=true",
                  f"--benchmark_min_time={0.0001 if p.profile == 'smoke' else 0.5}"])
    for b in json.loads(output)["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        _, label, measure = b["run_name"].split("/")[:3]
        if measure == "find_and_read_hives":
            disks[label].update(beyond_hives_mib=b["beyond_hives_MiB"])
        elif measure == "find_and_read_details":
            disks[label].update(details_seconds=seconds(b), details_mib=b["image_MiB_read"],
                                installations=b["installations"])
        else:
            disks[label].update(seconds=seconds(b), mib=b["image_MiB_read"])
    # A small image: an NTFS volume holding the Windows 10 example's hives.
    small = work / "small.ntfs"
    hives = p.real_hives
    run(["truncate", "-s", "16M", small])
    run(["mkntfs", "-F", "-Q", "-q", small])
    for hive, name in (("SOFTWARE", "SOFTWARE.small"), ("SYSTEM", "SYSTEM.10")):
        run([build / "disk/ntfs_put", small, "put", f"Windows/System32/config/{hive}", hives / name])
    log("regstore list-windows against regstore --version, each run in turn")
    samples = {"version": [], "small": [], "real": []}
    commands = {"version": [regstore, "--version"], "small": [regstore, "list-windows", small],
                "real": [regstore, "list-windows", disks["real"]["path"]]}
    for i in range(LIST_RUNS[p.profile] + 1):  # the first round warms the file cache and is dropped
        for k, cmd in commands.items():
            t = timed(cmd)
            if i > 0 or LIST_RUNS[p.profile] == 0:
                samples[k].append(t)
    listing = {k: median(v) for k, v in samples.items()}
    many = many_images.measure(p, work, regstore, small)
    log(f"regstore list-windows of a device read at {DEVICE_BPS / 1e6:.0f} MB/s")
    return {"disks": disks, "list": listing, "device": device_list_time(p, regstore, disks["real"]["path"]),
            "many": many}


def real_disk_rows(p, r, rows):
    real, twice = r["disks"]["real"], r["disks"]["twice"]
    rows.group(f"Finding Windows on a 60 GiB system volume of {real['records']:,} MFT records in use (GPT: EFI, MSR, "
               f"NTFS, recovery; {REAL_SOFTWARE_MB[p.profile]} MB SOFTWARE in hundreds of extents, Windows.old); "
               f"reference: the limit, or the same with {twice['records']:,} records")
    add = rows.add
    add(f"bytes read, installations and their version keys / {REAL_LIST_LIMIT_MIB} MiB", real["mib"],
        REAL_LIST_LIMIT_MIB, "MiB", "≤ 1", real["mib"] <= REAL_LIST_LIMIT_MIB)
    add(f"the same, time / {REAL_LIST_LIMIT_S * 1e3:.0f} ms", real["seconds"] * 1e3, REAL_LIST_LIMIT_S * 1e3, "ms",
        "≤ 1", real["seconds"] <= REAL_LIST_LIMIT_S)
    add("bytes read with twice the files / with the files", twice["mib"], real["mib"], "MiB", f"≤ {REAL_TWICE_LIMIT}",
        twice["mib"] <= real["mib"] * REAL_TWICE_LIMIT)
    add("time with twice the files / with the files", twice["seconds"] * 1e3, real["seconds"] * 1e3, "ms",
        f"≤ {REAL_TWICE_LIMIT}", twice["seconds"] <= real["seconds"] * REAL_TWICE_LIMIT)
    per = real["details_mib"] / max(real["installations"], 1)
    add(f"bytes read for the details, per installation ({real['installations']:.0f}) / {DETAIL_LIMIT_MIB} MiB", per,
        DETAIL_LIMIT_MIB, "MiB", "≤ 1", per <= DETAIL_LIMIT_MIB)
    add(f"the details of the disk's installations, time / {DETAIL_LIMIT_S * 1e3:.0f} ms", real["details_seconds"] * 1e3,
        DETAIL_LIMIT_S * 1e3, "ms", "≤ 1", real["details_seconds"] <= DETAIL_LIMIT_S)
    add(f"import-windows' reads beyond the hives and their logs / {REAL_LIST_LIMIT_MIB} MiB", real["beyond_hives_mib"],
        REAL_LIST_LIMIT_MIB, "MiB", "≤ 1", real["beyond_hives_mib"] <= REAL_LIST_LIMIT_MIB)
    listing = r["list"]
    add(f"regstore list-windows of that disk, the whole process / {REAL_LIST_LIMIT_S * 1e3:.0f} ms",
        listing["real"] * 1e3, REAL_LIST_LIMIT_S * 1e3, "ms", "≤ 1", listing["real"] <= REAL_LIST_LIMIT_S)
    device = r["device"]
    if isinstance(device, str):
        rows.skipped(f"the same from a device read at {DEVICE_BPS / 1e6:.0f} MB/s", device)
    else:
        add(f"the same from a device read at {DEVICE_BPS / 1e6:.0f} MB/s, its cache dropped / {DEVICE_LIMIT_S * 1e3:.0f} ms",
            device * 1e3, DEVICE_LIMIT_S * 1e3, "ms", "≤ 1", device <= DEVICE_LIMIT_S)
    add("regstore list-windows of a small image / regstore --version", listing["small"] * 1e3, listing["version"] * 1e3,
        "ms", f"≤ {LIST_VERSION_LIMIT}", listing["small"] <= listing["version"] * LIST_VERSION_LIMIT)
    many_images.rows(r["many"], rows)


def disk_rows(p, dk, rows):
    """The lines of the installation in a VHDX of a fresh volume."""
    if "read_software_from_image" not in dk:
        return
    read, query = dk["read_software_from_image"], dk["find_and_query_keys_on_demand"]
    cat = dk.get("cat_software_from_ntfs3g_mount")
    skipped = dk["skipped"].get("cat_software_from_ntfs3g_mount")
    rows.group(f"A Windows installation in a {DISK_GIB[p.profile]} GiB sparse VHDX, a fresh volume holding a SOFTWARE "
               f"hive of {read['hive_MiB']:.0f} MiB; reference: cat of it from an ntfs-3g mount"
               + (f" (skipped: {skipped})" if skipped else ", or the limit"))
    rows.add("read of the SOFTWARE hive out of the image / cat from the mounted volume", read["seconds"],
             cat["seconds"] if cat else None, "s", "≤ 1", None if not cat else read["seconds"] <= cat["seconds"])
    limit = read["hive_MiB"] + HIVE_MEMORY_SLACK_MIB
    rows.add("peak memory of that read / the hive's size + 64 MiB", read["peak_RSS_MiB"], limit, "MiB", "≤ 1",
             read["peak_RSS_MiB"] <= limit)
    rows.add(f"installations and a few keys on demand: bytes read from the image / {DISK_QUERY_LIMIT_MIB} MiB",
             query["image_MiB_read"], DISK_QUERY_LIMIT_MIB, "MiB", "≤ 1",
             query["image_MiB_read"] <= DISK_QUERY_LIMIT_MIB)
    rows.add(f"the same: time / {DISK_QUERY_LIMIT_S * 1e3:.0f} ms", query["seconds"] * 1e3, DISK_QUERY_LIMIT_S * 1e3,
             "ms", "≤ 1", query["seconds"] <= DISK_QUERY_LIMIT_S)
    whole = dk["list_windows_process"]
    rows.add(f"regstore list-windows of the VHDX, the whole process with the image reader's start / "
             f"{DISK_QUERY_LIMIT_S * 1e3:.0f} ms", whole * 1e3, DISK_QUERY_LIMIT_S * 1e3, "ms", "≤ 1",
             whole <= DISK_QUERY_LIMIT_S)
