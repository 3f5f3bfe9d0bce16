"""Registry hives: imports of generated hives shaped as real ones against hivexml walking the same file,
a 200 MB one against the clock and its size in memory, the memory a log's replay adds, and a key's
export as a .reg file against that file's import."""
import shutil

from .common import fresh_store, log, median, run, timed_cpu
from .table import at_most, cpu_split, ratio

HIVE_PROFILES = {"full": ((43000, 100000, 20000), 206, 5),  # 206: a 200 MB file
                 "quick": ((43000, 43000, 20000), 20, 3),
                 "smoke": ((300, 300, 300), 1, 1)}

REG_ROUND_TRIP_MB = {"full": 16, "quick": 16, "smoke": 1}

HIVE_SHAPES = (("system", "SYSTEM", r"HKLM\SYSTEM"), ("software", "SOFTWARE", r"HKLM\SOFTWARE"),
               ("user", "NTUSER.DAT", r"HKU\S-1-5-21-1000"))

HIVE_MEMORY_SLACK_MIB = 64

SOFTWARE_IMPORT_LIMIT_S = 10

# A key's export as a .reg file / the import of that file, and its system calls (one read transaction).
EXPORT_LIMIT = 0.3

EXPORT_CALLS_LIMIT = 1000

STORE_PAGE_BYTES = 4096  # SQLite's page, as the store uses it

# An import into a new store writes each page once: its writes per page of the store it makes.
IMPORT_WRITES_PER_PAGE_LIMIT = 1.1
WRITE_CALLS = ("pwrite64", "write", "pwritev", "pwritev2")


def system_call_counts(cmd, out):
    """The system calls of one run of `cmd` and its children (strace -c) by name, with "total", or None
    without strace."""
    if shutil.which("strace") is None:
        return None
    run(["strace", "-f", "-c", "-o", out, *cmd])
    counts = {}
    for line in out.read_text().strip().splitlines():
        fields = line.split()  # "% TIME  SECONDS  USECS/CALL  CALLS  [ERRORS]  NAME"
        if len(fields) >= 5 and fields[3].isdigit():
            counts[fields[-1]] = int(fields[3])
    return counts


def system_calls(cmd, out):
    """The number of system calls of one run of `cmd` and its children, or None without strace."""
    counts = system_call_counts(cmd, out)
    return None if counts is None else counts["total"]


def generate_hive(generator, path, *args):
    """Writes a hive with bench/hive_generate; returns its keys, values, size, log size and largest value."""
    lines = run([generator, path, *args, "--stats"]).splitlines()
    stats = dict(field.split("=") for field in lines[0].split())
    fields = lines[1].split()
    return {"keys": int(fields[0]), "values": int(fields[2]), "bytes": int(fields[4]), "log_bytes": int(fields[6]),
            "largest": int(stats["largest"])}


def measure_hives(p, work, regstore, build):
    """Hive imports: each shape against hivexml walking the same file, with the CPU split; a 200 MB
    SOFTWARE-shaped hive against hivexml and the clock, peak memory against the hive's size; what
    replaying a log adds; the export of the big hive's key as a .reg file against that file's import."""
    generator = build / "bench/hive_generate"
    h = {"shapes": {}}
    files = {}
    for (shape, file_name, key), keys in zip(HIVE_SHAPES, p.hive_keys):
        (work / shape).mkdir()
        files[shape] = work / shape / file_name
        h["shapes"][shape] = generate_hive(generator, files[shape], "--shape", shape, "--keys", keys)
    big, dirty = work / "big" / "SOFTWARE", work / "dirty" / "SYSTEM"
    big.parent.mkdir()
    dirty.parent.mkdir()
    h["big"] = generate_hive(generator, big, "--shape", "software", "--megabytes", p.software_mb)
    trip = work / "trip" / "SOFTWARE"
    trip.parent.mkdir()
    h["trip"] = generate_hive(generator, trip, "--shape", "software", "--megabytes", p.reg_round_trip_mb)
    h["dirty"] = generate_hive(generator, dirty, "--shape", "system", "--keys", p.hive_keys[0], "--dirty")
    store = work / "hive.db"

    def ours(hive, key):
        fresh_store(store)
        return timed_cpu([regstore, "--store", store, "import", hive, "--key", key])

    samples = {shape: {"ours": [], "hivexml": []} for shape, _, _ in HIVE_SHAPES}
    dirty_rss, clean_rss = [], []
    for i in range(p.hive_runs):
        for shape, _, key in HIVE_SHAPES:
            log(f"import of a {shape}-shaped hive ({h['shapes'][shape]['keys']:,} keys) and hivexml, "
                f"run {i + 1} of {p.hive_runs}")
            # Each side first in every other run, so that neither always finds the other's leftovers.
            for side in (("ours", "hivexml") if i % 2 == 0 else ("hivexml", "ours")):
                got = ours(files[shape], key) if side == "ours" else timed_cpu(["hivexml", files[shape]])
                samples[shape][side].append(got)
        clean_rss.append(samples["system"]["ours"][-1]["rss"])
        dirty_rss.append(ours(dirty, r"HKLM\SYSTEM")["rss"])
    big_samples = {"ours": [], "hivexml": []}
    for i in range(max(1, p.hive_runs // 2)):
        log(f"import of a {h['big']['bytes'] / 1e6:.0f} MB SOFTWARE-shaped hive and hivexml, run {i + 1}")
        for side in (("ours", "hivexml") if i % 2 == 0 else ("hivexml", "ours")):
            big_samples[side].append(ours(big, r"HKLM\SOFTWARE") if side == "ours" else timed_cpu(["hivexml", big]))

    # The system calls of the SOFTWARE-shaped hive's import into a new store, against the pages it
    # writes: a store built in a new file writes each page once.
    fresh_store(store)
    h["import_calls"] = system_call_counts([regstore, "--store", store, "import", files["software"], "--key",
                                            r"HKLM\SOFTWARE"], work / "import.strace")
    h["import_pages"] = store.stat().st_size // STORE_PAGE_BYTES

    # The big hive's key out as a .reg file: the memory it takes.
    big_reg = work / "big" / "SOFTWARE.reg"
    big_exports = []
    for i in range(max(1, p.hive_runs // 2)):
        log(f"export of the {h['big']['bytes'] / 1e6:.0f} MB hive's key as a .reg file, run {i + 1}")
        big_reg.unlink(missing_ok=True)
        big_exports.append(timed_cpu([regstore, "--store", store, "export", r"HKLM\SOFTWARE", big_reg]))
    h["big_reg_bytes"] = big_reg.stat().st_size
    big_reg.unlink()

    # A smaller hive's key out as a .reg file, and that file in again, into a store of its own.
    reg, reg_store = work / "trip" / "SOFTWARE.reg", work / "reg.db"
    ours(trip, r"HKLM\SOFTWARE")
    exports, reg_imports = [], []
    for i in range(p.hive_runs):
        log(f"export of a {h['trip']['bytes'] / 1e6:.0f} MB hive's key as a .reg file and its import, "
            f"run {i + 1} of {p.hive_runs}")
        reg.unlink(missing_ok=True)
        exports.append(timed_cpu([regstore, "--store", store, "export", r"HKLM\SOFTWARE", reg]))
        fresh_store(reg_store)
        reg_imports.append(timed_cpu([regstore, "--store", reg_store, "import", reg]))
    h["reg_bytes"] = reg.stat().st_size
    reg.unlink()
    h["export_calls"] = system_calls([regstore, "--store", store, "export", r"HKLM\SOFTWARE", reg],
                                     work / "export.strace")
    fresh_store(store)
    fresh_store(reg_store)

    def med(runs, field):
        return median([r[field] for r in runs])

    for shape, _, _ in HIVE_SHAPES:
        for side in ("ours", "hivexml"):
            h["shapes"][shape][side] = {f: med(samples[shape][side], f) for f in ("wall", "user", "sys", "rss")}
    h["big"]["ours"] = {f: med(big_samples["ours"], f) for f in ("wall", "user", "sys")}
    h["big"]["ours"]["rss"] = max(r["rss"] for r in big_samples["ours"])
    h["big"]["hivexml"] = {f: med(big_samples["hivexml"], f) for f in ("wall", "user", "sys", "rss")}
    h["export"] = {f: med(exports, f) for f in ("wall", "user", "sys", "rss")}
    h["big_export"] = {f: med(big_exports, f) for f in ("wall", "user", "sys")}
    h["big_export"]["rss"] = max(r["rss"] for r in big_exports)
    h["reg_import"] = {f: med(reg_imports, f) for f in ("wall", "user", "sys", "rss")}
    h["replay_mib"] = median(dirty_rss) - median(clean_rss)
    return h


def hive_rows(hv, rows):
    """The hive lines of the table: each operation against its reference."""
    add = rows.add
    for shape, file_name, _ in HIVE_SHAPES:
        s = hv["shapes"][shape]
        add(f"import of a {file_name}-shaped hive ({s['keys']:,} keys, {s['values']:,} values, "
            f"{s['bytes'] / 2**20:.1f} MiB) / hivexml; wall (CPU split)", s["ours"]["wall"], s["hivexml"]["wall"],
            "s", "≤ 1", at_most(ratio(s["ours"]["wall"], s["hivexml"]["wall"]), 1), cpu_split(s["ours"]),
            cpu_split(s["hivexml"]))
    calls = hv["import_calls"]
    if calls is None:
        rows.skipped("writes of the SOFTWARE-shaped import per page of the store", "no strace")
    else:
        writes = sum(calls.get(name, 0) for name in WRITE_CALLS)
        per_page = writes / hv["import_pages"]
        others = [name for name in sorted(calls, key=calls.get, reverse=True)
                  if name != "total" and name not in WRITE_CALLS][:3]
        others = ", ".join(f"{calls[name]:,} {name}" for name in others)
        add(f"writes of the SOFTWARE-shaped import ({writes:,}) per page of the new store it makes "
            f"({hv['import_pages']:,}); of its {calls['total']:,} system calls, the most after the writes: {others}",
            per_page, 1, "",
            f"≤ {IMPORT_WRITES_PER_PAGE_LIMIT}", per_page <= IMPORT_WRITES_PER_PAGE_LIMIT,
            ours_text=f"{per_page:.2f}", ref_text="1")
    big = hv["big"]
    add(f"import of a SOFTWARE-shaped hive of {big['bytes'] / 1e6:.0f} MB ({big['keys']:,} keys, "
        f"{big['values']:,} values) / hivexml", big["ours"]["wall"], big["hivexml"]["wall"], "s", "≤ 1",
        at_most(ratio(big["ours"]["wall"], big["hivexml"]["wall"]), 1), cpu_split(big["ours"]), cpu_split(big["hivexml"]))
    add("the same import / the limit", big["ours"]["wall"], SOFTWARE_IMPORT_LIMIT_S, "s",
        f"< {SOFTWARE_IMPORT_LIMIT_S} s", big["ours"]["wall"] < SOFTWARE_IMPORT_LIMIT_S)
    limit = big["bytes"] / 2**20 + HIVE_MEMORY_SLACK_MIB
    add("peak memory of that import / the hive's size + 64 MiB", big["ours"]["rss"], limit, "MiB", "≤ 1",
        big["ours"]["rss"] <= limit)
    big_exp = hv["big_export"]
    limit = big["largest"] / 2**20 + HIVE_MEMORY_SLACK_MIB
    add(f"peak memory of the export of that key as a .reg file ({hv['big_reg_bytes'] / 1e6:.0f} MB, "
        f"{big_exp['wall']:.1f} s, {big_exp['user']:.1f} s user, {big_exp['sys']:.1f} s sys) / 64 MiB + the "
        "largest value", big_exp["rss"], limit, "MiB", "≤ 1", big_exp["rss"] <= limit)
    exp, imp, trip = hv["export"], hv["reg_import"], hv["trip"]
    add(f"export of a {trip['bytes'] / 1e6:.0f} MB SOFTWARE-shaped hive's key as a .reg file "
        f"({hv['reg_bytes'] / 1e6:.0f} MB) / the import of that file", exp["wall"], imp["wall"], "s",
        f"≤ {EXPORT_LIMIT}", at_most(ratio(exp["wall"], imp["wall"]), EXPORT_LIMIT), cpu_split(exp), cpu_split(imp))
    if hv["export_calls"] is None:
        rows.skipped("system calls of that export", "no strace")
    else:
        add(f"system calls of that export / {EXPORT_CALLS_LIMIT:,}", hv["export_calls"], EXPORT_CALLS_LIMIT, "", "≤ 1",
            hv["export_calls"] <= EXPORT_CALLS_LIMIT, ours_text=f"{hv['export_calls']:,}",
            ref_text=f"{EXPORT_CALLS_LIMIT:,}")
    log_mib = hv["dirty"]["log_bytes"] / 2**20
    add("memory that replaying a log adds (SYSTEM-shaped, a quarter of its pages) / the log's size",
        hv["replay_mib"], log_mib, "MiB", "≤ 1", hv["replay_mib"] <= log_mib)
