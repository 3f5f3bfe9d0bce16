"""The sections of docs/benchmarks.md that runs of their own write survive every other run: a full
run rewrites the rest of the file, --readers and --writes replace only their own section."""
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from benchlib.common import OWN_RUN_SECTIONS, put_section, section_of  # noqa: E402

READERS = "## Readers\n\nowner and user\n"
WRITES = "## Writes\n\nSetLong 1.00\n"
MAIN = "# Benchmarks\n\n## Side by side\n\ntable\n\n## Cost against store size\n\nchart\n"

# (case, file before, section written, its text, file after)
CASES = [
    ("appended to a file without it", MAIN, "Writes", WRITES, MAIN + "\n" + WRITES),
    ("appended to no file", None, "Readers", READERS, "\n\n" + READERS),
    ("the last section replaced", MAIN + "\n" + WRITES, "Writes", "## Writes\n\nnew\n", MAIN + "\n## Writes\n\nnew\n"),
    ("a middle section replaced, the next kept apart",
     MAIN + "\n" + READERS + "\n" + WRITES, "Readers", "## Readers\n\nnew\n\n\n",
     MAIN + "\n## Readers\n\nnew\n\n" + WRITES),
    ("a title inside another's text is no section", MAIN + "\nsee ## Writes\n", "Writes", WRITES,
     MAIN + "\nsee ## Writes\n\n" + WRITES),
]

failures = []
with tempfile.TemporaryDirectory() as tmp:
    doc = Path(tmp) / "benchmarks.md"
    for name, before, title, text, after in CASES:
        doc.unlink(missing_ok=True)
        if before is not None:
            doc.write_text(before)
        put_section(doc, title, text)
        if doc.read_text() != after:
            failures.append(f"{name}: got {doc.read_text()!r}, expected {after!r}")

# What a full run keeps of the file it rewrites: each own run's section whole, wherever it was.
body = MAIN + "\n" + WRITES + "\n" + READERS
for title, expected in (("Readers", READERS), ("Writes", WRITES + "\n"), ("Side by side", None)):
    got = section_of(body, title)
    if title in OWN_RUN_SECTIONS and got != expected:
        failures.append(f"section {title}: got {got!r}, expected {expected!r}")
    if title not in OWN_RUN_SECTIONS and got is None:
        failures.append(f"section {title} not found")

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
