// What an inventory's details read from the registry an import leaves: each from its documented
// value, the fallbacks where Windows keeps it elsewhere, and nothing from a value of another type.
#include "details.h"
#include "reg_file.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using installations::Details;

std::string Opt(const std::optional<std::string>& s) {
    return s ? "\"" + *s + "\"" : "null";
}

// Every field, one line each, so that a difference names what differs.
std::string Text(const Details& d) {
    std::string t = "owner " + Opt(d.registeredOwner) + "\norganization " + Opt(d.registeredOrganization) +
                    "\nproductId " + Opt(d.productId) + "\ninstallTime " + Opt(d.installTime) + "\nlastShutdown " +
                    Opt(d.lastShutdown) + "\ntimeZone " + Opt(d.timeZone) + "\nbias " +
                    (d.timeZoneBias ? std::to_string(*d.timeZoneBias) : "null") + "\nlocale " + Opt(d.systemLocale) +
                    "\ninstallLanguage " + Opt(d.installLanguage) + "\nhost " + Opt(d.hostName) + "\ndnsDomain " +
                    Opt(d.dnsDomain) + "\nlogonDomain " + Opt(d.logonDomain);
    t += "\ninterfaces";
    if (!d.interfaces) t += " null";
    else
        for (const auto& n : d.interfaces.value()) {
            t += "\n  " + n.id + (n.dhcp ? " dhcp" : " static");
            for (const auto& a : n.addresses) t += " " + a;
            t += " server " + Opt(n.dhcpServer);
        }
    t += "\nprofiles";
    if (!d.profiles) t += " null";
    else
        for (const auto& p : d.profiles.value()) t += "\n  " + p.sid + " " + Opt(p.folder) + " " + Opt(p.lastLoad);
    t += "\nupdates ";
    t += d.updates ? std::to_string(d.updates->installed) + " " + Opt(d.updates->newestKb) + " " +
                         Opt(d.updates->newestInstall)
                   : "null";
    return t + "\n";
}

// A REG_MULTI_SZ in a version 5 .reg file: UTF-16LE strings, each ended, and the list ended.
std::string MultiSz(std::initializer_list<const char*> strings) {
    std::string hex = "hex(7):";
    const auto add = [&hex](unsigned char c) {
        char b[8];
        std::snprintf(b, sizeof b, "%02x,00,", c);
        hex += b;
    };
    for (const char* s : strings) {
        for (const char* c = s; *c; ++c) add(static_cast<unsigned char>(*c));
        add(0);
    }
    add(0);
    hex.pop_back();
    return hex;
}

const std::string kNt = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const std::string kCs = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet";
const std::string kCbs =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Component Based Servicing\\Packages\\";
const std::string kIf = kCs + "\\Services\\Tcpip\\Parameters\\Interfaces\\";

// FILETIMEs: 133444736000000000 is 2023-11-14T22:13:20Z; 0x01da0000'00000000 is 2023-10-16T07:11:36Z
// (rounded down to the second).
struct Case {
    const char* what;
    std::string reg;
    Details expected;
};

class DetailsRead : public RegistryTest {};

TEST_F(DetailsRead, ReadsWhatTheRegistryKeeps) {
    const Case cases[] = {
        {"nothing there: every field null", "", {}},
        {"Windows 10: the documented values",
         kNt +
             "]\n\"RegisteredOwner\"=\"Ann\"\n\"RegisteredOrganization\"=\"\"\n\"ProductId\"=\"00330-80000-00000-"
             "AA123\"\n"
             "\"InstallTime\"=hex(b):00,00,6d,c6,47,17,da,01\n\"InstallDate\"=dword:00000001\n" +
             kNt + "\\Winlogon]\n\"DefaultDomainName\"=\"CORP\"\n\"CachePrimaryDomain\"=\"OTHER\"\n" + kNt +
             "\\ProfileList\\S-1-5-18]\n\"ProfileImagePath\"=hex(2):25,00,73,00,25,00,00,00\n" + kNt +
             "\\ProfileList\\S-1-5-21-1-2-3-1001]\n\"ProfileImagePath\"=\"C:\\\\Users\\\\ann\"\n"
             "\"LocalProfileLoadTimeHigh\"=dword:01da1747\n\"LocalProfileLoadTimeLow\"=dword:c66d0000\n"
             "\"ProfileLoadTimeHigh\"=dword:00000001\n\"ProfileLoadTimeLow\"=dword:00000000\n" +
             kCs + "\\Control\\Windows]\n\"ShutdownTime\"=hex:00,00,6d,c6,47,17,da,01\n" + kCs +
             "\\Control\\TimeZoneInformation]\n\"TimeZoneKeyName\"=\"W. Europe Standard Time\"\n"
             "\"StandardName\"=\"@tzres.dll,-322\"\n\"Bias\"=dword:ffffffc4\n" +
             kCs + "\\Control\\Nls\\Locale]\n@=\"00000407\"\n" + kCs +
             "\\Control\\Nls\\Language]\n\"Default\"=\"0409\"\n\"InstallLanguage\"=\"0409\"\n" + kCs +
             "\\Services\\Tcpip\\Parameters]\n\"Hostname\"=\"DESK-7\"\n\"NV Hostname\"=\"OLD\"\n"
             "\"Domain\"=\"corp.example\"\n\"DhcpDomain\"=\"home.lan\"\n" +
             kIf +
             "{A}]\n\"EnableDHCP\"=dword:00000001\n\"DhcpIPAddress\"=\"192.168.1.20\"\n"
             "\"DhcpServer\"=\"192.168.1.1\"\n\"IPAddress\"=" +
             MultiSz({"10.9.9.9"}) + "\n" + kIf +
             "{B}]\n\"EnableDHCP\"=dword:00000000\n\"IPAddress\"=" + MultiSz({"10.0.0.5", "10.0.0.6"}) + "\n" + kIf +
             "{C}]\n\"EnableDHCP\"=dword:00000001\n\"DhcpIPAddress\"=\"0.0.0.0\"\n"
             "\"DhcpServer\"=\"255.255.255.255\"\n" +
             // Two packages of one KB; a later one superseded; the rollup and a feature name no KB.
             kCbs +
             "Package_for_KB5031356~31bf3856ad364e35~amd64~~19041.3570.1.6]\n\"CurrentState\"=dword:00000070\n"
             "\"InstallTimeHigh\"=dword:01da0000\n\"InstallTimeLow\"=dword:00000000\n" +
             kCbs +
             "Package_2_for_KB5031356~31bf3856ad364e35~amd64~~19041.3570.1.6]\n\"CurrentState\"=dword:00000070\n"
             "\"InstallTimeHigh\"=dword:01d90000\n\"InstallTimeLow\"=dword:00000000\n" +
             kCbs +
             "Package_for_KB5030000~31bf3856ad364e35~amd64~~19041.3500.1.1]\n\"CurrentState\"=dword:00000050\n"
             "\"InstallTimeHigh\"=dword:01db0000\n\"InstallTimeLow\"=dword:00000000\n" +
             kCbs + "Package_for_KB4999999~31bf3856ad364e35~amd64~~10.0.1.0]\n\"CurrentState\"=dword:00000080\n" +
             kCbs +
             "Package_for_RollupFix~31bf3856ad364e35~amd64~~19041.3570.1.6]\n\"CurrentState\"=dword:00000070\n"
             "\"InstallTimeHigh\"=dword:01dc0000\n\"InstallTimeLow\"=dword:00000000\n",
         {.registeredOwner = "Ann",
          .productId = "00330-80000-00000-AA123",
          .installTime = "2023-11-14T22:13:20Z",
          .lastShutdown = "2023-11-14T22:13:20Z",
          .timeZone = "W. Europe Standard Time",
          .timeZoneBias = -60,
          .systemLocale = "0407",
          .installLanguage = "0409",
          .hostName = "DESK-7",
          .dnsDomain = "corp.example",
          .logonDomain = "CORP",
          .interfaces = std::vector<installations::NetworkInterface>{{"{A}", true, {"192.168.1.20"}, "192.168.1.1"},
                                                                     {"{B}", false, {"10.0.0.5", "10.0.0.6"}, {}}},
          .profiles =
              std::vector<installations::UserProfile>{
                  {"S-1-5-18", "%s%", {}}, {"S-1-5-21-1-2-3-1001", "C:\\Users\\ann", "2023-11-14T22:13:20Z"}},
          .updates = installations::Updates{2, "KB5031356", "2023-10-16T07:11:36Z"}}},
        {"Windows XP: the older places",
         kNt + "]\n\"InstallDate\"=dword:6553f100\n" + kNt +
             "\\Winlogon]\n\"DefaultDomainName\"=\"\"\n\"CachePrimaryDomain\"=\"WORKGROUP\"\n" + kNt +
             "\\ProfileList\\S-1-5-21-9-1003]\n\"ProfileImagePath\"=\"C:\\\\Documents and Settings\\\\bo\"\n"
             "\"ProfileLoadTimeHigh\"=dword:01da1747\n\"ProfileLoadTimeLow\"=dword:c66d0000\n" +
             kNt + "\\HotFix\\KB123456]\n\"Installed\"=dword:00000001\n" + kNt +
             "\\HotFix\\KB222222]\n\"Installed\"=dword:00000000\n" + kNt + "\\HotFix\\KB444444]\n\"Comments\"=\"x\"\n" +
             kNt + "\\HotFix\\Q333333]\n\"Installed\"=dword:00000001\n" + kCs +
             "\\Control\\TimeZoneInformation]\n\"StandardName\"=\"Pacific Standard Time\"\n\"Bias\"=dword:000001e0\n" +
             kCs + "\\Control\\Nls\\Language]\n\"Default\"=\"0c0a\"\n" + kCs +
             "\\Services\\Tcpip\\Parameters]\n\"NV "
             "Hostname\"=\"XPBOX\"\n\"Domain\"=\"\"\n\"DhcpDomain\"=\"home.lan\"\n" +
             kIf + "{X}]\n\"IPAddress\"=\"172.16.0.9\"\n",
         {.installTime = "2023-11-14T22:13:20Z",
          .timeZone = "Pacific Standard Time",
          .timeZoneBias = 480,
          .systemLocale = "0C0A",
          .hostName = "XPBOX",
          .dnsDomain = "home.lan",
          .logonDomain = "WORKGROUP",
          .interfaces = std::vector<installations::NetworkInterface>{{"{X}", false, {"172.16.0.9"}, {}}},
          .profiles = std::vector<installations::UserProfile>{{"S-1-5-21-9-1003", "C:\\Documents and Settings\\bo",
                                                               "2023-11-14T22:13:20Z"}},
          .updates = installations::Updates{2, {}, {}}}},
        {"values of other types, and keys there but empty",
         kNt + "]\n\"RegisteredOwner\"=dword:00000001\n\"InstallTime\"=hex:00,00,6d,c6,47,17,da,01\n" + kCs +
             "\\Control\\Windows]\n\"ShutdownTime\"=hex:00,00,6d,c6\n" + kCs +
             "\\Control\\TimeZoneInformation]\n\"Bias\"=\"60\"\n\"TimeZoneKeyName\"=hex(7):00,00\n" + kCs +
             "\\Control\\Nls\\Locale]\n@=\"en-US\"\n" + kCs +
             "\\Control\\Nls\\Language]\n\"InstallLanguage\"=dword:409\n" + kIf + "]\n" + kNt + "\\ProfileList]\n" +
             kCbs +
             "Package_for_KB1~x]\n\"CurrentState\"=dword:00000070\n"
             "\"InstallTimeHigh\"=\"01da0000\"\n\"InstallTimeLow\"=dword:00000000\n",
         {.interfaces = std::vector<installations::NetworkInterface>{},
          .profiles = std::vector<installations::UserProfile>{},
          .updates = installations::Updates{1, {}, {}}}},
        {"a shutdown time kept as a REG_QWORD, a time zone named by its standard name only",
         kCs + "\\Control\\Windows]\n\"ShutdownTime\"=hex(b):00,00,6d,c6,47,17,da,01\n" + kCs +
             "\\Control\\TimeZoneInformation]\n\"TimeZoneKeyName\"=\"\"\n\"StandardName\"=\"UTC\"\n\"Bias\"=dword:0\n",
         {.lastShutdown = "2023-11-14T22:13:20Z", .timeZone = "UTC", .timeZoneBias = 0}},
    };
    for (const auto& c : cases) {
        const auto applied = regfile::Apply(regfile::Parse("Windows Registry Editor Version 5.00\n\n" + c.reg));
        ASSERT_EQ(applied.code, ERROR_SUCCESS) << c.what << " at line " << applied.where.line;
        EXPECT_EQ(Text(installations::ReadDetails()), Text(c.expected)) << c.what;
        for (const char* key : {"SOFTWARE", "SYSTEM"}) RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
    }
}

}  // namespace
