"""What every measure shares: the tree, the log, running and timing commands, medians, Google
Benchmark's reports, and the inputs kept between runs."""
import hashlib
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
STARTED = time.monotonic()
# Seconds in each unit Google Benchmark reports a time in.
SECONDS_PER = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def log(text):
    print(f"[bench {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def run(cmd, **kw):
    """Runs a command that must succeed; its output is returned."""
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    result = subprocess.run([str(c) for c in cmd], text=True, **kw)
    if result.returncode != 0:
        sys.exit(f"bench: {' '.join(map(str, cmd))} failed with status {result.returncode}\n"
                 f"{result.stdout or ''}{result.stderr or ''}")
    return result.stdout


def timed(cmd, timeout=None, **kw):
    """Wall time in seconds of one run of a command that must succeed; None when it ran out of time."""
    start = time.perf_counter()
    try:
        result = subprocess.run([str(c) for c in cmd], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired:
        return None
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"bench: {' '.join(map(str, cmd))} failed with status {result.returncode}\n{result.stderr}")
    return elapsed


def timed_cpu(cmd):
    """Wall, user and system time (s) and peak resident memory (MiB) of one run, by GNU time."""
    with tempfile.NamedTemporaryFile("r") as out:
        result = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", out.name, *[str(c) for c in cmd]],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if result.returncode != 0:
            sys.exit(f"bench: {' '.join(map(str, cmd))} failed with status {result.returncode}\n{result.stderr}")
        wall, user, system, rss = out.read().split()[-4:]
        return {"wall": float(wall), "user": float(user), "sys": float(system), "rss": int(rss) / 1024}


# The sections of docs/benchmarks.md that a run of their own writes (scripts/bench --readers,
# --writes): a run that writes the rest of the file keeps them as they are.
OWN_RUN_SECTIONS = ("Readers", "Writes")


def section_of(body, title):
    """The section `## title` of a markdown text, up to the next section, or None."""
    start = body.find(f"\n## {title}\n")
    if start < 0:
        return None
    end = body.find("\n## ", start + 1)
    return body[start + 1:end + 1] if end >= 0 else body[start + 1:]


def put_section(doc, title, text):
    """Writes `text` (starting with `## title`) into the file `doc` in place of that section, or at its end."""
    body = doc.read_text() if doc.exists() else ""
    old = section_of(body, title)
    if old is not None:
        body = body.replace(old, text.rstrip("\n") + "\n" + ("\n" if not body.endswith(old) else ""), 1)
    else:
        body = body.rstrip("\n") + "\n\n" + text
    doc.write_text(body)


def median(samples):
    return statistics.median(samples) if samples else None


def bench_json(output, clock="real_time"):
    """Medians (µs) of a Google Benchmark JSON report, by measure and store size; `clock`: real_time,
    or cpu_time (the calling thread's, which another program's load on the machine does not lengthen)."""
    medians = {}
    for b in json.loads(output)["benchmarks"]:
        if b.get("error_occurred"):
            sys.exit(f"bench: {b['name']}: {b.get('error_message')}")
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        measure, size = b["run_name"].split("/")[:2]
        medians[(measure, int(size))] = b[clock] * SECONDS_PER[b["time_unit"]] * 1e6
    return medians


def fresh_store(path):
    for suffix in ("", "-journal", "-wal", "-shm"):
        Path(f"{path}{suffix}").unlink(missing_ok=True)


def recipe_key(*parts):
    """A short digest of the files and settings a cached input is made from."""
    h = hashlib.sha256()
    for part in parts:
        h.update(Path(part).read_bytes() if isinstance(part, Path) else str(part).encode())
    return h.hexdigest()[:12]


def seconds(b):
    """The wall time of one Google Benchmark result, in seconds."""
    return b["real_time"] * SECONDS_PER[b["time_unit"]]
