// Writes the seeds of the hive fuzz targets into DIR/hive_read_fuzzer, DIR/hive_logs_fuzzer,
// DIR/hive_replay_fuzzer and DIR/details_fuzzer: hives the writer makes, the logs of the hive tests'
// kinds, and a hive holding both SOFTWARE's and SYSTEM's keys of an installation's details.
//   make_hive_seeds DIR   (fuzz/make-seeds runs it)
#include "hive_kit.h"

#include <filesystem>
#include <fstream>

using namespace hivekit;

namespace {

void Save(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes Dword(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

Node Path(std::initializer_list<const char16_t*> names, Node leaf) {
    for (auto it = std::rbegin(names); it != std::rend(names); ++it) leaf = Node{*it, {}, {leaf}};
    return leaf;
}

// SOFTWARE's and SYSTEM's keys of the details in one hive, as the fuzz target reads it for both.
Node Installation() {
    const Bytes filetime{0x00, 0x00, 0x6d, 0xc6, 0x47, 0x17, 0xda, 0x01};
    Node cv{u"CurrentVersion",
            {{u"ProductName", 1, Utf16(u"Windows 10 Pro")},
             {u"RegisteredOwner", 1, Utf16(u"Ann")},
             {u"InstallTime", 11, filetime}},
            {Node{u"Winlogon", {{u"DefaultDomainName", 1, Utf16(u"CORP")}}},
             Node{u"ProfileList",
                  {},
                  {Node{u"S-1-5-18", {{u"ProfileImagePath", 2, Utf16(u"%systemroot%")}}},
                   Node{u"S-1-5-21-1-1001",
                        {{u"ProfileImagePath", 1, Utf16(u"C:\\Users\\ann")},
                         {u"LocalProfileLoadTimeHigh", 4, Dword(0x01da1747)},
                         {u"LocalProfileLoadTimeLow", 4, Dword(0xc66d0000)}}}}},
             Node{u"HotFix", {}, {Node{u"KB123456", {{u"Installed", 4, Dword(1)}}}}}}};
    Node packages{
        u"Packages",
        {},
        {Node{u"Package_for_KB5031356~31bf3856ad364e35~amd64~~19041.3570.1.6",
              {{u"CurrentState", 4, Dword(0x70)},
               {u"InstallTimeHigh", 4, Dword(0x01da0000)},
               {u"InstallTimeLow", 4, Dword(0)}}},
         Node{u"Package_for_RollupFix~31bf3856ad364e35~amd64~~19041.3570.1.6", {{u"CurrentState", 4, Dword(0x80)}}}}};
    const Bytes multi = [] {
        Bytes b = Utf16(u"10.0.0.5");
        const Bytes more = Utf16(u"10.0.0.6");
        b.insert(b.end(), more.begin(), more.end());
        b.push_back(0), b.push_back(0);
        return b;
    }();
    Node tcpip{u"Parameters",
               {{u"Hostname", 1, Utf16(u"DESK-7")}, {u"Domain", 1, Utf16(u"corp.example")}},
               {Node{u"Interfaces",
                     {},
                     {Node{u"{A}",
                           {{u"EnableDHCP", 4, Dword(1)},
                            {u"DhcpIPAddress", 1, Utf16(u"192.168.1.20")},
                            {u"DhcpServer", 1, Utf16(u"192.168.1.1")}}},
                      Node{u"{B}", {{u"EnableDHCP", 4, Dword(0)}, {u"IPAddress", 7, multi}}}}}}};
    Node control{u"Control",
                 {},
                 {Node{u"Windows", {{u"ShutdownTime", 3, filetime}}},
                  Node{u"TimeZoneInformation",
                       {{u"TimeZoneKeyName", 1, Utf16(u"W. Europe Standard Time")}, {u"Bias", 4, Dword(0xffffffc4)}}},
                  Node{u"Nls", {}, {Node{u"Language", {{u"InstallLanguage", 1, Utf16(u"0409")}}}}}}};
    Node root{u"ROOT", {}, {}};
    root.children.push_back(Node{u"Microsoft",
                                 {},
                                 {Node{u"Windows NT", {}, {cv}},
                                  Path({u"Windows", u"CurrentVersion", u"Component Based Servicing"}, packages)}});
    root.children.push_back(Node{u"Select", {{u"Current", 4, Dword(1)}}});
    root.children.push_back(Node{u"ControlSet001", {}, {control, Path({u"Services", u"Tcpip"}, tcpip)}});
    return root;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::filesystem::path out = argv[1];
    Node names{
        u"ROOT", {{u"", 1, Utf16(u"d")}, {u"\u00e9", 4, {1, 2, 3, 4}}, {u"big", 3, Bytes(16400, 7)}}, {}, u"cls"};
    names.children.push_back({u"\U0001F600\u660e", {{u"x", 3, {1, 2, 3, 4, 5}}}});
    Node wide{u"W"};
    for (int i = 0; i < 520; ++i)
        wide.children.push_back({u"k" + std::u16string{char16_t('a' + i / 26 % 26), char16_t('a' + i % 26)}});
    const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
    Save(out / "hive_read_fuzzer", "names", Write(names));
    Save(out / "hive_read_fuzzer", "ri", Write(wide));
    Save(out / "hive_read_fuzzer", "state0", s0);
    Save(out / "details_fuzzer", "installation", Write(Installation()));

    const Bytes dirty = Dirty(s0, 11, 10);
    const std::vector<std::pair<std::string, std::vector<Bytes>>> logs = {
        {"two-entries", {NewLog(s0, 10, {Entry(10, s0, s1), Entry(11, s1, s2)}), {}}},
        {"continued", {NewLog(s0, 10, {Entry(10, s0, s1)}), NewLog(s0, 11, {Entry(11, s1, s2)})}},
        {"stale", {NewLog(s0, 8, {Entry(8, s0, s2)}), NewLog(s0, 10, {Entry(9, s0, s2), Entry(10, s0, s1)})}},
        {"old-format", {OldLog(s0, s2), {}}},
    };
    for (const auto& [name, pair] : logs) {
        Save(out / "hive_logs_fuzzer", name, Pack({dirty, pair[0], pair[1]}));
        Save(out / "hive_replay_fuzzer", name, pair[0]);
    }
    return 0;
}
