#!/usr/bin/env python3
"""The man page and docs/regstore.md say what regstore declares: the same commands, each with the same
arguments and options, and the same options of regstore itself, as `regstore --help-all` shows them
from the declarations. The man page's commands are regstore's own help, put into docs/regstore.1.scd
by `regstore --help-man` as the build does, its list of list-windows' fields among them; the fields
docs/regstore.md lists are the ones list-windows' help lists and its CSV header names, in their order.
Help text fits 80 columns.

    tests/programs/regstore/regstore_docs_check.py REGSTORE docs/regstore.1.scd docs/regstore.md
"""
import re
import subprocess
import sys


def words(line):
    """The arguments (KEY) and options (--value) a usage line names, without its brackets and dots."""
    line = line.replace("*", " ").replace("_", " ")  # scdoc's bold and underline
    return set(re.findall(r"--?[a-z][a-z0-9-]*|\b[A-Z][A-Z0-9]*\b", line))


def merge(commands, name, line):
    commands.setdefault(name, set()).update(words(line) - {"--store"})


def declared(regstore):
    text = subprocess.run([regstore, "--help-all"], check=True, capture_output=True, text=True).stdout
    own, commands = set(), {}
    usages = re.findall(r"^(?:Usage:|      ) regstore (.*)$", text, re.M)
    for usage in usages:
        rest = usage.replace("[--store PATH] ", "")
        name = rest.split()[0]
        if name == "COMMAND" or name.startswith("-"):
            own |= {w for w in words(usage) if w.startswith("--")}
        else:
            merge(commands, name, rest[len(name):])
    return own, commands


def section(text, title, level="#"):
    match = re.search(rf"^{level} {re.escape(title)}\n(.*?)(?=^{level} |\Z)", text, re.M | re.S)
    return match.group(1) if match else ""


def run(regstore, *args, stdin=None):
    return subprocess.run([regstore, *args], input=stdin, capture_output=True, text=True).stdout


def man_page(path, regstore):
    with open(path, encoding="utf-8") as f:
        made = subprocess.run([regstore, "--help-man"], stdin=f, capture_output=True, text=True)
    if made.returncode != 0:
        sys.exit(f"FAIL: regstore --help-man < {path}: {made.stderr.strip()}")
    text = made.stdout
    own = set()
    for line in section(text, "SYNOPSIS").splitlines():
        if line.startswith("*regstore*"):
            own |= {w for w in words(line) if w.startswith("--")}
    listed = {w for line in section(text, "OPTIONS").splitlines() if line.startswith("*")
              for w in words(line) if w.startswith("--")}
    commands = {}
    for line in section(text, "COMMANDS").splitlines():
        match = re.match(r"\*([a-z-]+)\*(.*)", line)
        if match:
            merge(commands, match.group(1), match.group(2))
    return own, listed, commands, text


# An item of a list in regstore's help: its name, then what it is from the help's second column on.
HELP_ITEM = re.compile(r"^( {2,})([A-Za-z]\w*) +(?=\S)")
HELP_COLUMN = 33


def help_fields(regstore):
    """list-windows' fields as its help lists them: the installation's, then the details', each a name
    or (parent, member)."""
    lists, current = ([], []), 0
    for line in run(regstore, "list-windows", "--help").splitlines():
        if line.startswith("With --details"):
            current = 1
        match = HELP_ITEM.match(line)
        if match and match.end() == HELP_COLUMN:
            depth = len(match.group(1)) // 2
            name = match.group(2)
            lists[current].append(name if depth == 1 else (parent, name))
            if depth == 1:
                parent = name
    return lists


def man_fields(commands):
    """The same, from the man page's list-windows."""
    entry = re.search(r"^\*list-windows\*.*?(?=^\*[a-z-]+\*|\Z)", commands, re.M | re.S)
    names = []
    for match in re.finditer(r"^\t(\t?)- \*(\w+)\*:", entry.group(0) if entry else "", re.M):
        names.append((names_parent, match.group(2)) if match.group(1) else match.group(2))
        if not match.group(1):
            names_parent = match.group(2)
    return names


def csv_header(regstore):
    """The CSV header list-windows writes with the details (the source named does not exist)."""
    out = run(regstore, "list-windows", "--csv", "--details", "/nonexistent/regstore-docs-check")
    return out.splitlines()[0].split(",") if out else []


def markdown_fields(path):
    """docs/regstore.md's tables of list-windows' fields: names (parent, member for `a.b` and `a[].b`), and
    the CSV columns in their order."""
    text = section(open(path, encoding="utf-8").read(), "What list-windows reports", "##")
    tables, csv = [], []
    for block in re.split(r"\n\n", text):
        rows = re.findall(r"^\| `([^`]+)` \| (?:`([^`]*)`)? *\|", block, re.M)
        if not rows:
            continue
        names = []
        for json, column in rows:
            parts = re.split(r"\[\]\.|\.", json)
            names.append(parts[0] if len(parts) == 1 else tuple(parts))
            if column:
                csv.append(column)
        tables.append(names)
    return tables, csv


def plain_scdoc(text):
    """The words of scdoc text as a reader sees them: list items as name and text, no fences, no
    markup, escapes undone."""
    text = re.sub(r"^(\t*)- \*(.+?)\*: ", r"\1\2 ", text, flags=re.M)
    text = re.sub(r"^\t*```$", "", text, flags=re.M)
    text = re.sub(r"\\(.)|[*_]", lambda m: m.group(1) or "", text)
    return text.split()


def help_words(regstore, man_text):
    """Each command's help and regstore's own sections, against the same in the man page: the words
    where they first part."""
    pairs = []
    for entry in re.finditer(r"^\*([a-z-]+)\*.*\n((?:\t.*\n|\n)*)", section(man_text, "COMMANDS"), re.M):
        text = run(regstore, entry.group(1), "--help")
        body = text.split("\n\n", 1)[1].split("\nOptions:\n")[0] if "\nOptions:\n" in text else ""
        pairs.append((entry.group(1), body.split(), plain_scdoc(entry.group(2))))
    own = run(regstore, "--help").split("\nOptions:\n")[0]
    for title, body in re.findall(r"^([A-Z][a-z ]+):\n(.*?)(?=^[A-Z][a-z ]+:\n|\Z)", own, re.M | re.S):
        if title != "Commands":
            pairs.append((title, body.split(), plain_scdoc(section(man_text, title.upper()))))
    faults = []
    for what, terminal, man in pairs:
        if not terminal or terminal != man:
            at = next((i for i, (a, b) in enumerate(zip(terminal, man)) if a != b), min(len(terminal), len(man)))
            faults.append(f"{what}: --help says {' '.join(terminal[at:at + 6])!r}, the man page "
                          f"{' '.join(man[at:at + 6])!r}")
    return len(pairs), faults


def too_wide(text, commands):
    """Lines of help wider than 80 columns, but usage lines, which are not wrapped."""
    usage = re.compile(r"^(Usage: |  (" + "|".join(map(re.escape, commands)) + r") )")
    return [line for line in text.splitlines() if len(line) > 80 and not usage.match(line)]


def markdown(path):
    text = open(path, encoding="utf-8").read()
    block = re.search(r"```sh\n(.*?)```", text, re.S).group(1)
    own = {w for line in block.splitlines() if line.startswith("regstore ")
           for w in words(line) if w.startswith("--")}
    commands = {}
    for match in re.finditer(r"^\| `([a-z-]+)([^`]*)` \|", section(text, "Commands", "##"), re.M):
        merge(commands, match.group(1), match.group(2))
    return own, commands


def main():
    regstore, man_path, md_path = sys.argv[1:4]
    own, commands = declared(regstore)
    man_own, man_listed, man_commands, man_text = man_page(man_path, regstore)
    md_own, md_commands = markdown(md_path)
    faults = []

    def compare(what, got, want):
        if got != want:
            faults.append(f"{what}: {sorted(got)}, but regstore declares {sorted(want)}")

    if not commands or not own:
        faults.append("regstore --help-all shows no commands or options")
    compare("the man page's SYNOPSIS", man_own, own)
    compare("the man page's OPTIONS", man_listed, own)
    compare("docs/regstore.md's synopsis", md_own, own)
    compare("the man page's commands", set(man_commands), set(commands))
    compare("docs/regstore.md's commands", set(md_commands), set(commands))
    for name, want in commands.items():
        if name in man_commands:
            compare(f"the man page's {name}", man_commands[name], want)
        if name in md_commands:
            compare(f"docs/regstore.md's {name}", md_commands[name], want)

    installation, details = help_fields(regstore)
    if len(installation) < 10 or len(details) < 10:
        faults.append(f"list-windows --help lists {len(installation)} fields and {len(details)} details")
    def in_order(what, got, want):
        """The first place where `got` leaves the order of `want`."""
        for i in range(max(len(got), len(want))):
            mine, theirs = (got[i] if i < len(got) else None), (want[i] if i < len(want) else None)
            if mine != theirs:
                faults.append(f"{what}: {mine} where regstore has {theirs} (field {i + 1})")
                return

    in_order("the man page's list-windows fields", man_fields(section(man_text, "COMMANDS")), installation + details)
    md_tables, md_csv = markdown_fields(md_path)
    if len(md_tables) != 2:
        faults.append(f"docs/regstore.md has {len(md_tables)} tables of list-windows' fields, not 2")
    else:
        in_order("docs/regstore.md's list-windows fields", md_tables[0], installation)
        in_order("docs/regstore.md's list-windows details", md_tables[1], details)
    in_order("docs/regstore.md's CSV columns", md_csv, csv_header(regstore))
    said, unlike = help_words(regstore, man_text)
    if said <= len(commands):
        faults.append(f"{said} texts of help compared with the man page, for {len(commands)} commands and regstore's own")
    faults += unlike
    for line in too_wide(run(regstore, "--help-all"), list(commands)):
        faults.append(f"help wider than 80 columns: {line}")
    for fault in faults:
        print("FAIL:", fault)
    print(f"{len(commands)} commands, {len(own)} options of regstore and {len(installation) + len(details)} fields "
          f"of list-windows compared, {len(faults)} differences")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
