#!/usr/bin/env python3
"""The man page and docs/regstore.md say what regstore declares: the same commands, each with the same
arguments and options, and the same options of regstore itself, as `regstore --help-all` shows them
from the declarations.

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


def man_page(path):
    text = open(path, encoding="utf-8").read()
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
    return own, listed, commands


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
    man_own, man_listed, man_commands = man_page(man_path)
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
    for fault in faults:
        print("FAIL:", fault)
    print(f"{len(commands)} commands and {len(own)} options of regstore compared, {len(faults)} differences")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
