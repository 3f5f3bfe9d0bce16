"""The registry calls on our store against the same calls on Wine's registry, round after round; the same
calls at every store size; .reg files in and out against regedit; one key of many values listed."""
import os
import subprocess
import sys
from pathlib import Path

from .common import ROOT, bench_json, log, median, run, timed
from .table import ratio

BENCH_KEY = r"Software\versioninfo-bench"  # under HKEY_LOCAL_MACHINE, as the registry measures use

VALUES_PER_KEY = 10  # the shape of the generated data, as bench/registry_measures.h makes it

KEYS_PER_GROUP = 100

EXPORT_TIMEOUT_S = 120

MEASURES = [
    ("open_query_close", "open + size query + data query + close", "≤ 20 µs and ≤ 0.25"),
    ("query_open_key", "size + data query on an open key", "≤ 5 µs and ≤ 0.25"),
    ("query_dword", "one 4-byte query", ""),
    ("set_long", "SetLong (QxRegistry)", "≤ 1"),
    ("set_string", "SetStringValue (QxRegistry)", "≤ 1"),
    ("create_key", "CreateKey of a new key + close (QxRegistry)", "≤ 1"),
    ("form_load", "Form_Load, in-process, per load", "≤ 1"),
]

ABSOLUTE_LIMIT_US = {"open_query_close": 20, "query_open_key": 5}

RATIO_LIMIT = {"open_query_close": 0.25, "query_open_key": 0.25, "set_long": 1, "set_string": 1,
               "create_key": 1, "form_load": 1}

PROFILES = {
    #         sizes                       rounds reps min_time batch_ms io_values io_runs listing startup_runs
    "full":  ([1000, 100000, 1000000],    3,     5,   0.2,     50,      100000,   3,      200000, 15),
    "quick": ([1000, 10000],              1,     3,   0.05,    20,      10000,    2,      2000,   5),
    "smoke": ([100, 1000],                1,     1,   0.0001,  1,       1000,     1,      200,    1),
}


def data_line(key, value, name):
    if value % 2 == 0:
        return f'"{name}"="value {value} of key {key}"'
    return f'"{name}"=dword:{key * VALUES_PER_KEY + value:08x}'


def write_reg(path, blocks):
    """A version 5.00 .reg file (UTF-16LE with a byte-order mark, CRLF), as regedit writes them."""
    with open(path, "w", encoding="utf-16", newline="\r\n") as f:
        f.write("Windows Registry Editor Version 5.00\n\n")
        for key, lines in blocks:
            f.write(f"[HKEY_LOCAL_MACHINE\\{key}]\n")
            for line in lines:
                f.write(line + "\n")
            f.write("\n")


def spread_blocks(base, values):
    """`values` values in keys of ten, a hundred keys per group: the shape of the in-process data."""
    keys = (values + VALUES_PER_KEY - 1) // VALUES_PER_KEY
    for k in range(keys):
        lines = [data_line(k, v, f"v{v}") for v in range(VALUES_PER_KEY)]
        yield f"{base}\\g{k // KEYS_PER_GROUP:04d}\\k{k:07d}", lines


def one_key_blocks(base, values):
    yield base, (data_line(i // VALUES_PER_KEY, i % VALUES_PER_KEY, f"v{i:07d}") for i in range(values))


def count_values(reg_file):
    """The value lines of an exported .reg file (either encoding that regedit and regstore write)."""
    raw = Path(reg_file).read_bytes()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")
    return sum(1 for line in text.splitlines() if line.startswith('"'))


class Wine:
    """Runs programs in a Wine prefix of the build tree through scripts/wine-run."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEARCH="win64", WINEDEBUG="-all")

    def cmd(self, *args):
        return [ROOT / "scripts/wine-run", "--prefix", self.prefix, *args]

    @staticmethod
    def path(unix_path):
        return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")

    def wait_for_server(self):
        """Lets the server end by itself, which is when it writes the registry files."""
        subprocess.run(["wineserver", "-w"], env=self.env, check=False)

    def stop(self):
        subprocess.run(self.cmd("--stop"), check=False)


def ours_registry(exe, sizes, p, store_dir):
    cmd = [exe, "--sizes=" + ",".join(map(str, sizes)), f"--store_dir={store_dir}",
           f"--benchmark_min_time={p.min_time}", f"--benchmark_min_warmup_time={p.min_time / 4}",
           "--benchmark_format=json"]
    if p.reps > 1:
        cmd += [f"--benchmark_repetitions={p.reps}", "--benchmark_report_aggregates_only=true"]
    return bench_json(run(cmd))


def wine_registry(wine, exe, size, p):
    out = run(wine.cmd(exe, "--values", size, "--reps", p.reps, "--batch-ms", p.batch_ms), env=wine.env)
    result = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 4 and parts[0] == "measure":
            result[parts[1]] = float(parts[3]) / 1000
    missing = [m for m, _, _ in MEASURES if m not in result]
    if missing:
        sys.exit(f"bench: the Windows program gave no time for {', '.join(missing)}:\n{out}")
    return result


def measure(p, work, wine, ours_bench, win_bench, regstore):
    """The registry calls, ours and Wine's; the same at every store size; .reg files in and out, ours and
    regedit's, and the file sizes; the listing of one key of many values."""
    r = {}
    base = p.sizes[0]

    # Registry calls, ours and Wine's, round after round.
    ours_rounds, wine_rounds = [], []
    for i in range(p.rounds):
        log(f"registry measures, round {i + 1} of {p.rounds}: portable store, {base:,} values")
        got = ours_registry(ours_bench, [base], p, work / "stores")
        ours_rounds.append({m: got[(m, base)] for m, _, _ in MEASURES})
        log(f"registry measures, round {i + 1} of {p.rounds}: Windows program under Wine, {base:,} values")
        wine_rounds.append(wine_registry(wine, win_bench, base, p))
    r["registry"] = {m: (median([x[m] for x in ours_rounds]), median([x[m] for x in wine_rounds]))
                     for m, _, _ in MEASURES}

    # The same measures at every store size, ours only.
    log(f"registry measures at {', '.join(f'{s:,}' for s in p.sizes)} values (the biggest store takes longest to make)")
    r["flat"] = ours_registry(ours_bench, p.sizes, p, work / "stores")

    # Import and export of one generated file, ours and regedit's.
    io_key = BENCH_KEY + r"\io"
    io_file, delete_file = work / "io.reg", work / "delete.reg"
    write_reg(io_file, spread_blocks(io_key, p.io_values))
    with open(delete_file, "w", encoding="utf-16", newline="\r\n") as f:
        f.write(f"Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\{BENCH_KEY}]\n")
    store = work / "io.db"
    times = {k: [] for k in ("ours_import", "wine_import", "ours_export", "wine_export")}
    for i in range(p.io_runs):
        log(f"import and export of {p.io_values:,} values, run {i + 1} of {p.io_runs}")
        for suffix in ("", "-journal", "-wal", "-shm"):
            Path(f"{store}{suffix}").unlink(missing_ok=True)
        times["ours_import"].append(timed([regstore, "--store", store, "import", io_file]))
        run(wine.cmd("regedit", "/s", wine.path(delete_file)), env=wine.env)
        times["wine_import"].append(timed(wine.cmd("regedit", "/s", wine.path(io_file)), env=wine.env))
        ours_out, wine_out = work / "ours-export.reg", work / "wine-export.reg"
        wine_out.unlink(missing_ok=True)
        times["ours_export"].append(timed([regstore, "--store", store, "export", "HKLM\\" + io_key, ours_out]))
        times["wine_export"].append(timed(wine.cmd("regedit", "/e", wine.path(wine_out),
                                                   "HKEY_LOCAL_MACHINE\\" + io_key), env=wine.env))
        for side, f in (("regstore export", ours_out), ("regedit /e", wine_out)):
            if count_values(f) != p.io_values:
                sys.exit(f"bench: {side} wrote {count_values(f)} values, not {p.io_values}")
    r["io"] = {k: median(v) for k, v in times.items()}

    # File size per million values: our store against Wine's text hive, with and without the data.
    # A write-ahead log, if the store keeps one, is part of it.
    ours_bytes = sum(Path(f"{store}{suffix}").stat().st_size for suffix in ("", "-wal")
                     if Path(f"{store}{suffix}").exists())
    hive = wine.prefix / "system.reg"
    wine.wait_for_server()
    with_data = hive.stat().st_size
    run(wine.cmd("regedit", "/s", wine.path(delete_file)), env=wine.env)
    wine.wait_for_server()
    r["file_mb"] = (ours_bytes * 1e6 / p.io_values / 1e6, (with_data - hive.stat().st_size) * 1e6 / p.io_values / 1e6)

    # Listing the values of one key: one key of N values against N values in keys of ten.
    log(f"export of one key of {p.listing:,} values and of {p.listing:,} values in keys of ten")
    listing = {}
    for shape, blocks in (("one", one_key_blocks(BENCH_KEY + r"\list", p.listing)),
                          ("spread", spread_blocks(BENCH_KEY + r"\list", p.listing))):
        reg, db = work / f"list-{shape}.reg", work / f"list-{shape}.db"
        write_reg(reg, blocks)
        run([regstore, "--store", db, "import", reg])
        samples = []
        for _ in range(p.io_runs):
            t = timed([regstore, "--store", db, "export", "HKLM\\" + BENCH_KEY + r"\list", work / "list-out.reg"],
                      timeout=EXPORT_TIMEOUT_S)
            if t is None:
                samples = None
                break
            samples.append(t)
        listing[shape] = median(samples) if samples else None
    r["listing"] = listing

    return r


def chart(path, sizes, flat, wine):
    """Cost of each registry measure against store size, as SVG, with gnuplot; Wine's time for the same
    call (measured at the smallest size) is the dashed line of the same colour."""
    data = path.with_suffix(".dat")
    with open(data, "w") as f:
        for size in sizes:
            f.write(f"{size} " + " ".join(f"{flat.get((m, size), float('nan')):.3f}" for m, _, _ in MEASURES) + "\n")
    plots = [f"'{data}' using 1:{i + 2} with linespoints lt {i + 1} lw 2 pt 7 title '{label}'"
             for i, (_, label, _) in enumerate(MEASURES)]
    plots += [f"{wine[m]:.3f} with lines lt {i + 1} lw 1 dt 2 notitle" for i, (m, _, _) in enumerate(MEASURES)]
    plots.append("NaN with lines lc 'black' lw 1 dt 2 title \"Wine's registry, same call (dashed)\"")
    plots = ", ".join(plots)
    script = f"""
set terminal svg size 820,620 noenhanced font 'DejaVu Sans,12' background '#ffffff'
set output '{path}'
set title 'Portable store: time per call against the number of values in the store'
set xlabel 'values in the store'
set ylabel 'median time per call (µs)'
set samples 2
set logscale xy
set xtics ({", ".join(f"'{size:,}' {size}" for size in sizes)})
set grid
set key outside below center horizontal maxcols 2 width -2 spacing 1.2
set xlabel offset 0,0.5
set xrange [{sizes[0] / 2}:{sizes[-1] * 2}]
plot {plots}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    data.unlink()


def call_rows(p, r, rows):
    rows.group(f"Registry calls, store of {p.sizes[0]:,} values; reference: the same calls on Wine's registry")
    for m, label, target in MEASURES:
        ours, ref = r["registry"][m]
        ok = None
        if m in RATIO_LIMIT:
            ok = ratio(ours, ref) <= RATIO_LIMIT[m] and ours <= ABSOLUTE_LIMIT_US.get(m, float("inf"))
        rows.add(label, ours, ref, "µs", target, ok)


def io_rows(p, r, rows):
    io = r["io"]
    rows.group(f".reg file of {p.io_values:,} values in {p.io_values // VALUES_PER_KEY:,} keys; reference: wine regedit")
    rows.add("import (regstore import / regedit /s)", io["ours_import"], io["wine_import"], "s", "≤ 0.5",
             ratio(io["ours_import"], io["wine_import"]) <= 0.5)
    rows.add("export (regstore export / regedit /e)", io["ours_export"], io["wine_export"], "s", "≤ 0.5",
             ratio(io["ours_export"], io["wine_export"]) <= 0.5)
    ours_mb, wine_mb = r["file_mb"]
    rows.add("file size per million values (store file / Wine's system.reg)", ours_mb, wine_mb, "MB", "≤ 1",
             ours_mb <= wine_mb)


def flat_rows(p, r, rows):
    sizes = p.sizes
    if len(sizes) > 1:
        rows.group(f"Flatness: time per call at {sizes[-1]:,} values; reference: the same at {sizes[0]:,} values")
        for m, label, _ in MEASURES:
            big, small = r["flat"].get((m, sizes[-1])), r["flat"].get((m, sizes[0]))
            rows.add(label, big, small, "µs", "≤ 1.2", ratio(big, small) <= 1.2)


def listing_rows(p, r, rows):
    one, spread = r["listing"]["one"], r["listing"]["spread"]
    rows.group(f"Listing: export of one key of {p.listing:,} values; reference: {p.listing:,} values in keys of ten")
    rows.add("regstore export", one, spread, "s", "≤ 2",
             False if one is None else (None if spread is None else one / spread <= 2),
             ours_text=None if one is not None else f"> {EXPORT_TIMEOUT_S} s")
