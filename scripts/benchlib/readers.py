"""The reading calls as the store's owner and as a user who may only read it (the installed case),
against the store of READER_REFERENCE built side by side; the owner's writes against bare SQLite's.
Writes the readers' section of docs/benchmarks.md."""
import argparse
import os
import re
import shutil
import subprocess
import sys
from datetime import datetime, timezone

from .common import ROOT, bench_json, log, median, put_section, run
from .registry import MEASURES
from .table import fmt, markdown_table, ratio

READER_REFERENCE = "8cdc4a5"

READER_ACCOUNT = "nobody"

READER_MEASURES = [m for m in MEASURES if m[0] in ("open_query_close", "query_open_key", "query_dword", "form_load")]

READER_ROUNDS = 5

READER_LIMIT = 1.10  # ours / reference, and a reader / the owner


def reference_compat():
    """Headers the benchmark sources include that the reference's tree has under other names, or not
    at all: the store's format constants that the bare SQLite write shares, taken from this tree."""
    tables = (ROOT / "store/database/tables.cpp").read_text()
    schema = (ROOT / "store/database/schema.h").read_text()
    values_sql = re.search(r'kValuesTable = R"sql\((.*?)\)sql"', tables, re.S).group(1)
    log_limit = re.search(r"kLogSizeLimit = ([^;]+);", schema).group(1)
    return {
        "recording_surface.h": '#include "RecordingSurface.h"\n',
        "reg_file.h": '#include "RegFile.h"\n',
        "schema.h": "#pragma once\n#include <cstdint>\nnamespace store {\n"
                          f"constexpr std::int64_t kLogSizeLimit = {log_limit};\n"
                          f'inline const char* ValuesTableSql() {{ return R"sql({values_sql})sql"; }}\n'
                          "}  // namespace store\n",
    }


def reference_bench(jobs):
    """registry_bench built on the store of READER_REFERENCE, from this tree's benchmark sources."""
    ref = ROOT / "build" / f"reference-{READER_REFERENCE}"
    if not (ref / "CMakePresets.json").exists():
        shutil.rmtree(ref, ignore_errors=True)
        ref.mkdir(parents=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", READER_REFERENCE], check=True, capture_output=True)
        subprocess.run(["tar", "-x", "-C", ref], input=archive.stdout, check=True)
    # The same measures on both sides: only the store under them differs.
    for name in ("registry_bench.cpp", "registry_measures.cpp", "registry_measures.h", "command_line.h"):
        shutil.copy2(ROOT / "bench" / name, ref / "bench" / name)
    for name, text in reference_compat().items():
        (ref / "bench" / name).parent.mkdir(parents=True, exist_ok=True)
        (ref / "bench" / name).write_text(text)
    run(["cmake", "--preset", "release"], cwd=ref)
    run(["cmake", "--build", "--preset", "release", "-j", jobs, "--target", "registry_bench"], cwd=ref)
    return ref / "build/release/bench/registry_bench"


def readers(args):
    """The reading measures as the owner and as a user who may only read, ours and the reference's."""
    p = argparse.Namespace(sizes=[int(s) for s in (args.sizes or "1000").split(",")][:1], reps=5, min_time=0.2)
    jobs = str(os.cpu_count() or 2)
    run([ROOT / "scripts/deps", "test"], stdout=None, stderr=None)
    log("building the release benchmark, and the reference's")
    run(["cmake", "--preset", "release"], cwd=ROOT)
    run(["cmake", "--build", "--preset", "release", "-j", jobs, "--target", "registry_bench"], cwd=ROOT)
    programs = {"ours": ROOT / "build/release/bench/registry_bench", "reference": reference_bench(jobs)}
    sides = ["owner"]
    reader_uid = None
    if os.geteuid() == 0:
        import pwd
        reader_uid = pwd.getpwnam(READER_ACCOUNT).pw_uid
        sides.append("reader")
    else:
        log("not root: the half as a user who may only read is left out")
    work = ROOT / "build/release/bench-readers"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    writes = ["set_long", "set_string", "bare_sqlite_write"]  # the owner's writes, against bare SQLite's
    filt = "--benchmark_filter=" + "|".join([m for m, _, _ in READER_MEASURES] + writes)
    samples = {}
    rounds = args.rounds or READER_ROUNDS
    for i in range(rounds):
        for side in sides:
            order = list(programs) if i % 2 == 0 else list(reversed(programs))
            for who in order:
                log(f"readers, round {i + 1} of {rounds}: {who}'s store, as the {side}")
                store_dir = work / f"{who}-{side}"
                shutil.rmtree(store_dir, ignore_errors=True)
                cmd = [programs[who], "--sizes=" + str(p.sizes[0]), f"--store_dir={store_dir}", filt,
                       f"--benchmark_min_time={p.min_time}", "--benchmark_format=json",
                       f"--benchmark_repetitions={p.reps}", "--benchmark_report_aggregates_only=true"]
                if side == "reader":
                    cmd.append(f"--reader_uid={reader_uid}")
                out = run(cmd)
                got, cpu = bench_json(out), bench_json(out, "cpu_time")
                for m in [m for m, _, _ in READER_MEASURES] + (writes if side == "owner" else []):
                    samples.setdefault((who, side, m), []).append(got[(m, p.sizes[0])])
                    samples.setdefault((who, side, m, "cpu"), []).append(cpu[(m, p.sizes[0])])
    med = {k: median(v) for k, v in samples.items()}
    rows = []
    for m, label, _ in READER_MEASURES:
        row = [label]
        for side in sides:
            ours, ref = med[("ours", side, m)], med[("reference", side, m)]
            row += [fmt(ours, "µs"), fmt(ref, "µs"), fmt(ratio(ours, ref))]
        if reader_uid is not None:
            row.append(fmt(ratio(med[("ours", "reader", m)], med[("ours", "owner", m)])))
            row.append(fmt(ratio(med[("ours", "reader", m, "cpu")], med[("ours", "owner", m, "cpu")])))
        rows.append(row)
    header = ["Operation"]
    for side in sides:
        who = "owner (root)" if side == "owner" else f"user who may only read ({READER_ACCOUNT})"
        header += [f"ours, {who}", f"{READER_REFERENCE}, {who}", "ratio"]
    if reader_uid is not None:
        header += ["ours: reader / owner", "the same in CPU time"]
    table = markdown_table(header, rows)
    write_rows = []
    for m, label in (("set_long", "SetLong (QxRegistry)"), ("set_string", "SetStringValue (QxRegistry)")):
        row = [label]
        for who in programs:
            ours, bare = med[(who, "owner", m)], med[(who, "owner", "bare_sqlite_write")]
            row += [fmt(ours, "µs"), fmt(bare, "µs"), fmt(ratio(ours, bare))]
        write_rows.append(row)
    write_table = markdown_table(["Operation", "ours", "bare SQLite", "ratio", f"{READER_REFERENCE}",
                                  "bare SQLite", "ratio"], write_rows)
    print()
    print(table)
    print()
    print(write_table)
    command = "scripts/bench" + " " + " ".join(sys.argv[1:])
    section = [
        "## Readers",
        "",
        f"Written by `{command}` on {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, commit "
        f"{run(['git', '-C', ROOT, 'rev-parse', '--short', 'HEAD']).strip()}. The reading measures on a store of "
        f"{p.sizes[0]:,} values, as the store's owner and, in a child process with the ids of `{READER_ACCOUNT}`, "
        "as a user who may read the store's files (mode 0644) and write none of them, its log's index "
        "among them: what every user of the installed program is. Ours against the store of commit "
        f"{READER_REFERENCE} (before the replaced-file check ran on every call), built side by side from "
        f"the same benchmark sources; {rounds} rounds in alternating order, each the median of {p.reps} "
        "repetitions; the median of the rounds is shown (ratio = ours / reference, of medians; targets "
        f"≤ {READER_LIMIT:.2f}, and a reader ≤ {READER_LIMIT:.2f} × the owner). Times are wall-clock; the last "
        "column sets the calling thread's CPU time of the two sides side by side, which the load of other "
        f"programs does not lengthen (load average at the start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores).",
        "",
        table,
        "",
        "Writes, as the owner, against a bare SQLite transaction writing one row of the same shape with the "
        "same settings (WAL, synchronous=NORMAL, the same log limit; `bare_sqlite_write` in "
        f"`bench/registry_bench.cpp`), measured in the same rounds (target ≤ {READER_LIMIT:.2f}):",
        "",
        write_table,
        "",
    ]
    doc = ROOT / "docs/benchmarks.md"
    put_section(doc, "Readers", "\n".join(section))
    shutil.rmtree(work, ignore_errors=True)
    log(f"wrote the readers' section of {doc}")
