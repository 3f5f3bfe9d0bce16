"""The side-by-side table every measure adds its lines to: ours, the reference, the ratio of their
medians and the target."""


def fmt(value, unit=""):
    if value is None:
        return "—"
    if unit == "µs" or unit == "ms":
        text = f"{value:.2f}" if value < 10 else f"{value:,.1f}" if value < 100 else f"{value:,.0f}"
    elif unit == "s":
        text = f"{value:.2f}"
    elif unit == "MiB" or unit == "MB":
        text = f"{value:.1f}"
    else:
        text = f"{value:.2f}"
    return f"{text} {unit}".strip()


def ratio(ours, ref):
    return None if ours is None or not ref else ours / ref


def verdict(ok):
    return "—" if ok is None else ("met" if ok else "**not met**")


def at_most(value, limit):
    """Whether a ratio is within its limit; None (not judged) when a time too short to measure made none."""
    return None if value is None else value <= limit


def cpu_split(side):
    return f"{fmt(side['wall'], 's')} ({side['user']:.2f} user, {side['sys']:.2f} sys)"


def markdown_table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


class Rows:
    """The lines of a side-by-side table, and whether each met its target (None: not judged)."""

    def __init__(self):
        self.lines = []
        self.met = []

    def group(self, title):
        self.lines.append([f"**{title}**", "", "", "", "", ""])

    def add(self, label, ours, ref, unit, target, ok, ours_text=None, ref_text=None):
        self.lines.append([label, ours_text or fmt(ours, unit), ref_text or fmt(ref, unit), fmt(ratio(ours, ref)),
                           target, verdict(ok)])
        self.met.append(ok)

    def skipped(self, label, reason):
        self.lines.append([label, f"skipped: {reason}", "", "", "", ""])

    def not_met(self):
        return sum(1 for ok in self.met if ok is False)

    def markdown(self, first="Portable store"):
        return markdown_table(["Operation", first, "Reference", "Ratio", "Target", ""], self.lines)
