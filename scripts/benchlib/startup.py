"""Start-up: exec to the first painted frame and the peak memory at that moment, of the window and of
its reference, under a virtual X server (Xvfb)."""
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

from .common import ROOT, log, median, run
from .table import ratio

FRAME_LIMIT = 1.10  # the window's first frame / the empty window's
MEMORY_SLACK_MIB = 3  # the window's peak memory at that frame / the empty window's, plus this
REFFORM_FRAME_LIMIT = 1.05  # the window's first frame / refform's (a plain form of the same controls)
REFFORM_MEMORY_SLACK_MIB = 1  # the window's peak memory at that frame / refform's, plus this
# What the store adds to a plain form: libsqlite3 (its own needs, libc and libm, Qt maps already).
SQLITE_LIBRARIES = 1


class Xvfb:
    def __init__(self, work):
        r, w = os.pipe()
        self.log = open(work / "xvfb.log", "w")
        self.proc = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        os.close(w)
        # The read end stays open while the server runs: Xvfb may write to it again.
        self.displayfd = r
        ready, _, _ = select.select([r], [], [], 15)
        number = os.read(r, 64).decode().strip() if ready else ""
        if not number:
            self.close()
            sys.exit(f"bench: Xvfb did not start: {(work / 'xvfb.log').read_text()}")
        self.display = ":" + number.splitlines()[0]

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        self.log.close()
        os.close(self.displayfd)


def first_frame(program, env, log_path):
    """Exec to first painted frame (ms), peak resident memory (KiB) and shared libraries mapped at that
    frame, of one start of `program`."""
    r, w = os.pipe()
    os.set_inheritable(w, True)
    env = dict(env, VERSIONINFO_BENCH_FRAME_FD=str(w))
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_OPEN, 1, str(log_path), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644),
               (os.POSIX_SPAWN_DUP2, 1, 2)]
    start = time.monotonic_ns()
    pid = os.posix_spawn(str(program), [str(program)], env, file_actions=actions)
    os.close(w)
    ready, _, _ = select.select([r], [], [], 30)
    if not ready:
        os.kill(pid, signal.SIGKILL)
    reported = os.read(r, 64).decode().strip() if ready else ""
    os.close(r)
    _, status = os.waitpid(pid, 0)
    fields = reported.split()
    if len(fields) != 4 or not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        sys.exit(f"bench: {program} painted no frame (status {status}); its output:\n{Path(log_path).read_text()}")
    return (int(fields[0]) - start) / 1e6, int(fields[1]), int(fields[2]), int(fields[3])


def measure(p, work, regstore, build):
    """Start-ups in rounds, the order turned each round: median ms, the highest peak (MiB) and the most
    shared libraries mapped at the first frame."""
    log(f"start-up to the first painted frame, {p.startup_runs} pairs")
    startup_store = work / "startup.db"
    run([regstore, "--store", startup_store, "import", ROOT / "examples/windows-10-22h2.reg"])
    xvfb = Xvfb(work)
    try:
        env = {k: v for k, v in os.environ.items() if k not in ("QT_QPA_PLATFORM", "WAYLAND_DISPLAY")}
        env.update(DISPLAY=xvfb.display, VERSIONINFO_BENCH_STORE=str(startup_store))
        programs = {"ours": build / "bench/versioninfo_first_frame", "empty": build / "bench/empty_qt_window",
                    "refform": build / "bench/refform"}
        samples = {k: [] for k in programs}
        for i in range(p.startup_runs + 1):  # the first pair warms the file cache and is dropped
            names = list(programs)
            order = names[i % len(names):] + names[:i % len(names)]
            for k in order:
                got = first_frame(programs[k], env, work / f"{k}.log")
                if i > 0 or p.startup_runs == 0:
                    samples[k].append(got)
    finally:
        xvfb.close()
    return {k: (median([ms for ms, _, _, _ in v]), max(kib for _, kib, _, _ in v) / 1024, max(n for _, _, n, _ in v),
                max(anon for _, _, _, anon in v) / 1024)
            for k, v in samples.items()}


def startup_rows(startup, rows):
    (ours_ms, ours_mib, ours_libs, ours_anon), (empty_ms, empty_mib, _, _) = startup["ours"], startup["empty"]
    ref_ms, ref_mib, ref_libs, ref_anon = startup["refform"]
    rows.group("Start-up under Xvfb; reference: an empty Qt window of the same size and flags")
    rows.add("exec to first painted frame", ours_ms, empty_ms, "ms", f"≤ {FRAME_LIMIT:.2f}",
             ratio(ours_ms, empty_ms) <= FRAME_LIMIT)
    rows.add("peak memory (resident) at the first frame", ours_mib, empty_mib, "MiB",
             f"≤ reference + {MEMORY_SLACK_MIB} MiB", ours_mib <= empty_mib + MEMORY_SLACK_MIB)
    rows.group("Start-up under Xvfb; reference: refform, a plain Qt form of the same five labels and boxes, no store")
    rows.add("exec to first painted frame", ours_ms, ref_ms, "ms", f"≤ {REFFORM_FRAME_LIMIT:.2f}",
             ratio(ours_ms, ref_ms) <= REFFORM_FRAME_LIMIT)
    rows.add("peak memory (resident) at the first frame", ours_mib, ref_mib, "MiB",
             f"≤ reference + {REFFORM_MEMORY_SLACK_MIB} MiB", ours_mib <= ref_mib + REFFORM_MEMORY_SLACK_MIB)
    rows.add("the program's own (anonymous) memory at the first frame, beside the pages of its files",
             ours_anon, ref_anon, "MiB", f"≤ reference + {REFFORM_MEMORY_SLACK_MIB} MiB",
             ours_anon <= ref_anon + REFFORM_MEMORY_SLACK_MIB)
    rows.add("shared libraries mapped at the first frame", ours_libs, ref_libs, "", f"≤ reference + {SQLITE_LIBRARIES}",
             ours_libs <= ref_libs + SQLITE_LIBRARIES, ours_text=str(ours_libs), ref_text=str(ref_libs))
