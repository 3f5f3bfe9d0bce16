"""The store's writes against a bare SQLite transaction writing one row of the same shape with the same
settings (`bare_sqlite_write` in bench/registry_bench.cpp): in one process and each in a process of its
own, at idle and beside two programs that keep a CPU busy each, and the system calls of one write.
Writes its section of docs/benchmarks.md."""
import multiprocessing
import os
import re
import shutil
from datetime import datetime, timezone

from .common import ROOT, bench_json, log, median, put_section, run
from .table import fmt, markdown_table, ratio, verdict

MEASURES = [("set_long", "SetLong (QxRegistry)"), ("set_string", "SetStringValue (QxRegistry)")]
BARE = "bare_sqlite_write"
LIMIT = 1.10  # ours / the bare transaction
SYSCALL_LIMIT = 1  # system calls a write may make beyond the bare transaction's
ROUNDS = {"full": 5, "quick": 2, "smoke": 1}
HOGS = 2
# Calls counted under strace: the count of a run of twice as many, less that of this many, is what
# this many writes make, without the store's making.
SYSCALL_CALLS = {"full": 2000, "quick": 1000, "smoke": 100}
SIZE = 1000


def _busy():
    while True:
        pass


class Hogs:
    """Programs that keep `count` CPUs busy while the block runs."""

    def __init__(self, count):
        self.count = count
        self.procs = []

    def __enter__(self):
        self.procs = [multiprocessing.Process(target=_busy, daemon=True) for _ in range(self.count)]
        for p in self.procs:
            p.start()
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.kill()
            p.join()


def _medians(bench, store_dir, ids, reps, min_time):
    shutil.rmtree(store_dir, ignore_errors=True)
    out = run([bench, f"--sizes={SIZE}", f"--store_dir={store_dir}",
               "--benchmark_filter=^(" + "|".join(ids) + ")/", f"--benchmark_min_time={min_time}",
               "--benchmark_format=json", f"--benchmark_repetitions={reps}", "--benchmark_report_aggregates_only=true"])
    got = bench_json(out)
    return {i: got[(i, SIZE)] for i in ids}


def _syscalls(bench, store_dir, measure, calls, threads):
    """System calls of one call of `measure`, by name: strace's counts of 2 × calls less those of calls;
    of the calling thread alone, or with `threads` of every thread (the store's background flush)."""
    counts = []
    for n in (calls, 2 * calls):
        shutil.rmtree(store_dir, ignore_errors=True)
        trace = store_dir.with_suffix(".strace")
        run(["strace", *(["-f"] if threads else []), "-c", "-o", trace, bench, f"--sizes={SIZE}",
             f"--store_dir={store_dir}", f"--only={measure}", f"--calls={n}"])
        by_name = {}
        for line in trace.read_text().splitlines():
            fields = line.split()
            if len(fields) >= 5 and re.match(r"^[\d.]+$", fields[0]) and fields[-1] != "total":
                by_name[fields[-1]] = int(fields[3])
        trace.unlink()
        counts.append(by_name)
    names = set(counts[0]) | set(counts[1])
    return {n: (counts[1].get(n, 0) - counts[0].get(n, 0)) / calls for n in names}


def measure(profile, bench, work):
    """The medians of every side, mode and load, and the system calls per write."""
    ids = [m for m, _ in MEASURES] + [BARE]
    reps, min_time = (1, 0.01) if profile == "smoke" else (3, 0.2)
    rounds = ROUNDS[profile]
    samples = {}
    for load, hogs in (("idle", 0), ("busy", HOGS)):
        with Hogs(hogs):
            for r in range(rounds):
                log(f"writes, round {r + 1} of {rounds}, {load}")
                for i, got in _medians(bench, work / "in-process", ids, reps, min_time).items():
                    samples.setdefault((load, "in", i), []).append(got)
                for i in (ids if r % 2 == 0 else list(reversed(ids))):
                    got = _medians(bench, work / f"alone-{i}", [i], reps, min_time)[i]
                    samples.setdefault((load, "alone", i), []).append(got)
    med = {k: median(v) for k, v in samples.items()}
    calls = SYSCALL_CALLS[profile]
    per_call = {i: _syscalls(bench, work / f"strace-{i}", i, calls, False) for i in ids}
    every_thread = {i: _syscalls(bench, work / f"strace-{i}", i, calls, True) for i in ids}
    return {"medians": med, "syscalls": per_call, "every_thread": every_thread, "rounds": rounds, "reps": reps,
            "calls": calls}


def rows(measured):
    med = measured["medians"]
    table = []
    for m, label in MEASURES:
        for load, load_label in (("idle", "at idle"), ("busy", f"beside {HOGS} busy CPU hogs")):
            for mode, mode_label in (("in", "in one process"), ("alone", "each in a process of its own")):
                ours, bare = med[(load, mode, m)], med[(load, mode, BARE)]
                r = ratio(ours, bare)
                table.append([f"{label}, {mode_label}, {load_label}", fmt(ours, "µs"), fmt(bare, "µs"), fmt(r),
                              f"≤ {LIMIT:.2f}", verdict(None if r is None else r <= LIMIT)])
    bare_calls = measured["syscalls"][BARE]
    for m, label in MEASURES:
        ours_calls = measured["syscalls"][m]
        total, bare_total = sum(ours_calls.values()), sum(bare_calls.values())
        beyond = {n: c - bare_calls.get(n, 0) for n, c in ours_calls.items()}
        beyond = ", ".join(f"{n} {c:+.2f}" for n, c in sorted(beyond.items(), key=lambda x: -abs(x[1]))
                           if abs(c) >= 0.005)
        every = sum(measured["every_thread"][m].values()) - sum(measured["every_thread"][BARE].values())
        table.append([f"{label}: system calls per write, the calling thread's (beyond the bare one's: "
                      f"{beyond or 'none'}; with the background flush's thread, {every:+.2f})",
                      f"{total:.2f}", f"{bare_total:.2f}", f"{total - bare_total:+.2f}", f"≤ +{SYSCALL_LIMIT}",
                      verdict(round(total - bare_total, 2) <= SYSCALL_LIMIT)])
    return table


def section(measured, command):
    head = ["Operation", "ours", "bare SQLite", "ratio", "target", ""]
    return "\n".join([
        "## Writes",
        "",
        f"Written by `{command}` on {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, commit "
        f"{run(['git', '-C', ROOT, 'rev-parse', '--short', 'HEAD']).strip()}, load average at the start "
        f"{os.getloadavg()[0]:.2f} on {os.cpu_count()} cores. A registry write on a store of {SIZE:,} values against "
        "a bare SQLite transaction writing one row of the same shape with the same settings (WAL, "
        "synchronous=NORMAL, the same log limit; `bare_sqlite_write` in `bench/registry_bench.cpp`), release "
        f"build, Google Benchmark's median of {measured['reps']} repetitions in each of {measured['rounds']} "
        "rounds, the median of the rounds shown (ratio = ours / bare, of medians). In one process: both in one "
        "run, one after the other (the bare write then goes through the store's file layer too); each in a "
        "process of its own: a run per side, in alternating order. Busy: two programs kept a CPU busy each "
        f"meanwhile. System calls: `strace -c` of {2 * measured['calls']:,} calls less that of "
        f"{measured['calls']:,}, per call; `strace -f -c` for every thread.",
        "",
        markdown_table(head, rows(measured)),
        "",
    ])


def writes(args):
    """`scripts/bench --writes`: the writes' measures alone, printed and written into docs/benchmarks.md."""
    run([ROOT / "scripts/deps", "test"], stdout=None, stderr=None)
    log("building the release benchmark")
    jobs = str(os.cpu_count() or 2)
    run(["cmake", "--preset", "release"], cwd=ROOT)
    run(["cmake", "--build", "--preset", "release", "-j", jobs, "--target", "registry_bench"], cwd=ROOT)
    work = ROOT / "build/release/bench-writes"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    measured = measure("full", ROOT / "build/release/bench/registry_bench", work)
    text = section(measured, "scripts/bench --writes")
    print()
    print(text)
    put_section(ROOT / "docs/benchmarks.md", "Writes", text)
    shutil.rmtree(work, ignore_errors=True)
    log("wrote the writes' section of docs/benchmarks.md")
