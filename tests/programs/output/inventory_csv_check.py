#!/usr/bin/env python3
"""Reads list-windows' CSV back with Python's csv module: one row per installation under the header,
each cell the value the JSON of the same installation holds, lists flattened as documented."""
import csv
import json
import os
import subprocess
import sys
import tempfile

sample = sys.argv[1]
INSTALLATION = ["installation", "partition", "offset", "fileSystem", "label", "folder", "earlier", "error",
                "name", "Caption", "MajorVersion", "MinorVersion", "CSDVersion", "ProductType", "ProductName",
                "CurrentBuildNumber", "UBR", "release", "EditionID", "installDate", "computerName", "architecture"]
DETAILS = ["registeredOwner", "registeredOrganization", "productId", "installTime", "lastShutdown", "timeZone",
           "timeZoneBias", "systemLocale", "installLanguage", "hostName", "dnsDomain", "logonDomain"]


def cell(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def interfaces(items):
    out = []
    for n in items or []:
        text = n["id"] + ":" + (" " + ", ".join(n["addresses"]) if n["addresses"] else "")
        if n["dhcp"]:
            text += " (DHCP " + n["dhcpServer"] + ")" if n["dhcpServer"] else " (DHCP)"
        out.append(text)
    return "; ".join(out)


def profiles(items):
    return "; ".join(p["sid"] + ": " + cell(p["folder"]) + (" (" + p["lastLoad"] + ")" if p["lastLoad"] else "")
                     for p in items or [])


def expected(line):
    i = line["installation"]
    d = i.get("details") or {}
    u = d.get("updates") or {}
    return ([line["source"]] + [cell(i.get(k)) for k in INSTALLATION] + [cell(d.get(k)) for k in DETAILS] +
            [interfaces(d.get("interfaces")), profiles(d.get("profiles")), cell(u.get("installed")),
             cell(u.get("newestKb")), cell(u.get("newestInstall")), cell(d.get("endOfSupport"))])


with tempfile.TemporaryDirectory() as tmp:
    csv_path, json_path = os.path.join(tmp, "out.csv"), os.path.join(tmp, "out.jsonl")
    subprocess.run([sample, csv_path, json_path], check=True)
    with open(csv_path, newline="", encoding="utf-8") as f:
        raw = f.read()
    with open(csv_path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f, strict=True))
    with open(json_path, encoding="utf-8") as f:
        lines = [json.loads(text) for text in f]

failures = []
header = ["source"] + INSTALLATION + DETAILS + ["interfaces", "profiles", "updatesInstalled", "newestUpdate",
                                                 "newestUpdateInstalled", "endOfSupport"]
if rows[0] != header:
    failures.append(f"header {rows[0]}")
if len(rows) != 1 + len(lines):
    failures.append(f"{len(rows) - 1} rows for {len(lines)} installations")
for row, line in zip(rows[1:], lines):
    want = expected(line)
    if row != want:
        failures.append("row of " + line["source"] + ":\n  " + "\n  ".join(
            f"{h}: {g!r} != {w!r}" for h, g, w in zip(header, row, want) if g != w))
# RFC 4180: every record ends in CRLF; a line break inside a quoted field is kept as it is.
if not raw.endswith("\r\n") or raw.count("\r\n") < len(rows):
    failures.append("records not ended by CRLF")

for f in failures:
    print("FAIL:", f)
print(f"{len(rows) - 1} rows read back, {len(failures)} failures")
sys.exit(1 if failures else 0)
