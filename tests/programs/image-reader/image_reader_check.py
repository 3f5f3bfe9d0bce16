#!/usr/bin/env python3
"""The image reader seen from outside.

- Each input of fuzz/library-faults/, and a reader that stops on a signal while it reads (a probe
  library preloaded raises it), end `regstore` in one line naming the source and exit status 1,
  with nothing left in TMPDIR and no core file.
- The probe preloaded into the reader tries four ways out once the reader reads the image: all are
  refused; preloaded into a program that is not confined (dd), all four succeed.

  image_reader_check.py REGSTORE READER PROBE IMAGE FAULTS_FOLDER
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

regstore, reader, probe, image, faults = sys.argv[1:6]
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}: {detail}")
        print(f"FAIL: {what}: {detail}")


def one_line_fault(what, args, expect, env=None):
    """`regstore ARGS` ends with status 1 and one line holding every text of `expect`, leaving nothing."""
    with tempfile.TemporaryDirectory() as work:
        tmp, cwd = os.path.join(work, "tmp"), os.path.join(work, "cwd")
        os.mkdir(tmp)
        os.mkdir(cwd)
        run = subprocess.run([regstore, "--store", os.path.join(work, "store.db"), *args], cwd=cwd,
                             env={**os.environ, "TMPDIR": tmp, **(env or {})}, capture_output=True, text=True,
                             timeout=60)
        lines = run.stderr.splitlines()
        check(f"{what}: status", run.returncode == 1, f"{run.returncode}, stderr {run.stderr!r}")
        check(f"{what}: one line", len(lines) == 1, repr(run.stderr))
        for text in expect:
            check(f"{what}: names {text!r}", text in run.stderr, repr(run.stderr))
        check(f"{what}: TMPDIR left empty", os.listdir(tmp) == [], os.listdir(tmp))
        check(f"{what}: no core file", os.listdir(cwd) == [], os.listdir(cwd))


for name in sorted(os.listdir(faults)):
    path = os.path.join(faults, name)
    for command in (["list-windows", path], ["import-windows", path]):
        one_line_fault(f"{command[0]} {name}", command, ["regstore: " + path + ": "])

# A sanitized program would refuse a library preloaded before its runtime, and end a SIGSEGV itself
# with SIGABRT.
sanitizer = {"ASAN_OPTIONS": ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0:handle_segv=0"]))}
probe_env = {**sanitizer, "LD_PRELOAD": probe, "READER_PROBE": "signal", "READER_PROBE_IMAGE": image, "READER_PROBE_AFTER": "3"}
for number, said in [(signal.SIGKILL, "stopped on signal 9"), (signal.SIGSEGV, "stopped on signal 11"),
                     (signal.SIGXCPU, "used up its processor time")]:
    for command in (["list-windows", image], ["import-windows", image, "--installation", "1"]):
        one_line_fault(f"{command[0]} with the reader stopped by signal {int(number)}", command,
                       [image + ": the image reader " + said, "a damaged or hostile image"],
                       {**probe_env, "READER_PROBE_SIGNAL": str(int(number))})

# The four escapes, from the reader and from dd, with a listener held here.
with tempfile.TemporaryDirectory() as work, socket.socket() as listener:
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    copy = os.path.join(work, os.path.basename(image))
    shutil.copyfile(image, copy)
    written = os.path.join(work, "written-by-the-probe")
    env = {**os.environ, **sanitizer, "LD_PRELOAD": probe, "READER_PROBE": "escape", "READER_PROBE_IMAGE": copy,
           "READER_PROBE_FILE": written, "READER_PROBE_PORT": str(listener.getsockname()[1])}
    escapes = ["read /etc/passwd", "write a file in the test's folder", "connect to the test's listener",
               "run /bin/true"]
    for who, args, expect in [("the image reader", [reader, "image", copy], "refused"),
                              ("dd, not confined", ["dd", "if=" + copy, "of=/dev/null", "count=1"], "allowed")]:
        run = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             env=env, text=True, timeout=60)
        said = [line for line in run.stderr.splitlines() if line.startswith("probe: ")]
        check(f"{who}: the probe ran", len(said) == len(escapes), repr(run.stderr))
        for escape in escapes:
            line = next((s for s in said if s.startswith(f"probe: {escape}: ")), "")
            check(f"{who}: {escape}", line.startswith(f"probe: {escape}: {expect}"), repr(line))
        check(f"{who}: the file written", os.path.exists(written) == (expect == "allowed"), written)
        if os.path.exists(written):
            os.remove(written)

if failures:
    sys.exit(f"{len(failures)} failure(s)")
print("PASS")
