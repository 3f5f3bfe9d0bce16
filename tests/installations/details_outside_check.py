#!/usr/bin/env python3
"""The details of an installation as list-windows reads them, against the same hives read by reglookup
(Debian's, not ours) and the details worked out here from its listing: regstore imports a .reg file,
exports SOFTWARE and SYSTEM as hives, details_dump reads them from the folder.
  details_outside_check.py REGSTORE DETAILS_DUMP"""
import datetime
import json
import os
import subprocess
import sys
import tempfile
import urllib.parse

regstore, dump = sys.argv[1], sys.argv[2]

SW = r"HKEY_LOCAL_MACHINE\SOFTWARE"
NT = SW + r"\Microsoft\Windows NT\CurrentVersion"
CBS = SW + r"\Microsoft\Windows\CurrentVersion\Component Based Servicing\Packages"


def filetime(value):
    return (f"{value & 0xFFFFFFFF:08x}", f"{value >> 32:08x}")


def reg_text():
    lines = ["Windows Registry Editor Version 5.00", "",
             f"[{NT}]", '"ProductName"="Windows 10 Pro"', '"RegisteredOwner"="Ann Example"',
             '"RegisteredOrganization"="Example Ltd"', '"ProductId"="00330-80000-00000-AA123"',
             '"InstallDate"=dword:6553f100', "",
             f"[{NT}\\Winlogon]", '"DefaultDomainName"="CORP"', ""]
    for i, sid in enumerate(["S-1-5-18", "S-1-5-21-7-8-9-1001", "S-1-5-21-7-8-9-1002"]):
        lines += [f"[{NT}\\ProfileList\\{sid}]", f'"ProfileImagePath"="C:\\\\Users\\\\u{i}"']
        if i:
            lines += [f'"LocalProfileLoadTimeHigh"=dword:{0x01DA1747 + i:08x}', '"LocalProfileLoadTimeLow"=dword:c66d0000']
        lines.append("")
    for i in range(12):
        name = f"Package_{i % 2}_for_KB{5031000 + i // 2}~31bf3856ad364e35~amd64~~19041.{i}.1.6"
        time = 0x01D9000000000000 + i * 0x0000001000000000
        lines += [f"[{CBS}\\{name}]", f'"CurrentState"=dword:{0x70 if i % 3 else 0x50:08x}',
                  f'"InstallTimeHigh"=dword:{time >> 32:08x}', f'"InstallTimeLow"=dword:{time & 0xFFFFFFFF:08x}', ""]
    # The control set in use is 002; 001 holds what must not be read.
    lines += [r"[HKEY_LOCAL_MACHINE\SYSTEM\Select]", '"Current"=dword:00000002', "",
              r"[HKEY_LOCAL_MACHINE\SYSTEM\ControlSet001\Services\Tcpip\Parameters]", '"Hostname"="WRONG"', ""]
    cs = r"HKEY_LOCAL_MACHINE\SYSTEM\ControlSet002"
    lines += [f"[{cs}\\Control\\Windows]", '"ShutdownTime"=hex:00,00,6d,c6,47,17,da,01', "",
              f"[{cs}\\Control\\TimeZoneInformation]", '"TimeZoneKeyName"="Pacific Standard Time"',
              '"Bias"=dword:000001e0', "",
              f"[{cs}\\Control\\Nls\\Language]", '"Default"="0407"', '"InstallLanguage"="0409"', "",
              f"[{cs}\\Services\\Tcpip\\Parameters]", '"Hostname"="DESK-7"', '"Domain"="corp.example"', ""]
    for i in range(3):
        lines += [f"[{cs}\\Services\\Tcpip\\Parameters\\Interfaces\\{{{i:08x}-1111-2222-3333-444444444444}}]",
                  f'"EnableDHCP"=dword:{i % 2:08x}', f'"DhcpIPAddress"="10.1.{i}.20"', f'"DhcpServer"="10.1.{i}.1"',
                  f'"IPAddress"=hex(7):{",".join(f"{b:02x}" for b in f"10.2.{i}.5".encode("utf-16-le"))},00,00,00,00', ""]
    return "\r\n".join(lines)


def listing(hive):
    """reglookup's listing: path -> (type, value), values percent-decoded to bytes."""
    out = subprocess.run(["reglookup", "-H", "-S", hive], capture_output=True, text=True, check=True).stdout
    values = {}
    for line in out.splitlines():
        path, kind, value = line.split(",")[:3]
        values[urllib.parse.unquote(path)] = (kind, urllib.parse.unquote_to_bytes(value))
    return values


def iso(ft):
    t = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=ft // 10_000_000)
    return t.strftime("%Y-%m-%dT%H:%M:%SZ")


def expected(sw, sy):
    def text(values, path):
        v = values.get(path)
        return v[1].decode() if v and v[0] in ("SZ", "EXPAND_SZ") else None

    def dword(values, path):
        v = values.get(path)
        return int(v[1], 16) if v and v[0] == "DWORD" else None

    def subkeys(values, path):
        return sorted({p[len(path) + 1:] for p, (k, _) in values.items()
                       if p.startswith(path + "/") and k == "KEY" and "/" not in p[len(path) + 1:]}, key=str.upper)

    nt = "/Microsoft/Windows NT/CurrentVersion"
    cs = f"/ControlSet{dword(sy, '/Select/Current'):03d}"
    shutdown = sy[cs + "/Control/Windows/ShutdownTime"][1]
    tcpip = cs + "/Services/Tcpip/Parameters"
    interfaces = []
    for n in subkeys(sy, tcpip + "/Interfaces"):
        at = f"{tcpip}/Interfaces/{n}"
        dhcp = dword(sy, at + "/EnableDHCP") == 1
        addresses = [text(sy, at + "/DhcpIPAddress")] if dhcp else \
            [a for a in sy[at + "/IPAddress"][1].decode().split("|") if a]
        interfaces.append({"id": n, "dhcp": dhcp, "addresses": addresses,
                           "dhcpServer": text(sy, at + "/DhcpServer") if dhcp else None})
    profiles = []
    for sid in subkeys(sw, nt + "/ProfileList"):
        at = f"{nt}/ProfileList/{sid}"
        high, low = dword(sw, at + "/LocalProfileLoadTimeHigh"), dword(sw, at + "/LocalProfileLoadTimeLow")
        profiles.append({"sid": sid, "folder": text(sw, at + "/ProfileImagePath"),
                         "lastLoad": iso(high << 32 | low) if high is not None else None})
    cbs = "/Microsoft/Windows/CurrentVersion/Component Based Servicing/Packages"
    kbs, newest = set(), (0, None)
    for name in subkeys(sw, cbs):
        at = f"{cbs}/{name}"
        if dword(sw, at + "/CurrentState") not in (0x70, 0x80):
            continue
        kb = "KB" + name.split("_for_KB")[1].split("~")[0]
        kbs.add(kb)
        time = dword(sw, at + "/InstallTimeHigh") << 32 | dword(sw, at + "/InstallTimeLow")
        newest = max(newest, (time, kb))
    locale = text(sy, cs + "/Control/Nls/Language/Default")
    return {
        "registeredOwner": text(sw, nt + "/RegisteredOwner"),
        "registeredOrganization": text(sw, nt + "/RegisteredOrganization"),
        "productId": text(sw, nt + "/ProductId"),
        "installTime": datetime.datetime.fromtimestamp(dword(sw, nt + "/InstallDate"), datetime.timezone.utc)
        .strftime("%Y-%m-%dT%H:%M:%SZ"),
        "lastShutdown": iso(int.from_bytes(shutdown, "little")),
        "timeZone": text(sy, cs + "/Control/TimeZoneInformation/TimeZoneKeyName"),
        "timeZoneBias": dword(sy, cs + "/Control/TimeZoneInformation/Bias"),
        "systemLocale": locale.upper(),
        "installLanguage": text(sy, cs + "/Control/Nls/Language/InstallLanguage"),
        "hostName": text(sy, tcpip + "/Hostname"),
        "dnsDomain": text(sy, tcpip + "/Domain"),
        "logonDomain": text(sw, nt + "/Winlogon/DefaultDomainName"),
        "interfaces": interfaces,
        "profiles": profiles,
        "updates": {"installed": len(kbs), "newestKb": newest[1], "newestInstall": iso(newest[0])},
        "endOfSupport": None,
    }


with tempfile.TemporaryDirectory() as tmp:
    reg, store = os.path.join(tmp, "details.reg"), os.path.join(tmp, "store.db")
    config = os.path.join(tmp, "Windows", "System32", "config")
    os.makedirs(config)
    with open(reg, "w", encoding="utf-16", newline="") as f:
        f.write(reg_text())
    subprocess.run([regstore, "--store", store, "import", reg], check=True)
    for hive in ("SOFTWARE", "SYSTEM"):
        subprocess.run([regstore, "--store", store, "export", "--hive", f"HKLM\\{hive}", os.path.join(config, hive)],
                       check=True)
    ours = [json.loads(line) for line in
            subprocess.run([dump, os.path.join(tmp, "Windows")], capture_output=True, text=True, check=True)
            .stdout.splitlines()]
    want = expected(listing(os.path.join(config, "SOFTWARE")), listing(os.path.join(config, "SYSTEM")))

# The registry keeps subkeys in its own order; reglookup's are sorted here.
for key, by in (("interfaces", "id"), ("profiles", "sid")):
    if ours and isinstance(ours[0].get(key), list):
        ours[0][key].sort(key=lambda x: x[by].upper())
failures = [] if len(ours) == 1 else [f"{len(ours)} installations"]
for key, value in want.items():
    got = ours[0].get(key) if ours else None
    if got != value:
        failures.append(f"{key}: ours {got!r}, from reglookup {value!r}")
for f in failures:
    print("FAIL:", f)
print(f"{len(want)} details compared with reglookup's reading, {len(failures)} differ")
sys.exit(1 if failures else 0)
