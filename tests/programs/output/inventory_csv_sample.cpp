// Writes installations as CSV (argv[1]) and, for the check that reads the CSV back, the same
// installations as JSON lines (argv[2]): {"source": ..., "installation": {...}}.
#include "inventory_csv.h"

#include <fstream>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    using namespace installations;
    using namespace output;
    disk::Installation plain;
    plain.volume = {2, 1048576, "NTFS", "Sys, \"main\""};
    plain.folder = "Windows";
    disk::Installation folder;
    folder.volume = {0, 0, "folder", ""};
    folder.earlier = true;
    folder.folder = "Windows.old/WINDOWS";

    Listing full;
    full.window = {{"Caption", "19"},      {"MajorVersion", "10"}, {"MinorVersion", "0"},
                   {"CSDVersion", " (0)"}, {"ProductType", "1"},   {"ProductName", "WINDOWS 10 PRO"}};
    full.inventory = {"Windows 10 Pro",       "19045",  3570,   "22H2", "Professional",
                      "2023-11-14T22:13:20Z", "DESK-7", "AMD64"};
    full.name = "Windows 10 Pro";
    Details d;
    d.registeredOwner = "Ann \"the admin\", IT\r\nsecond line";
    d.registeredOrganization = "Caf\xc3\xa9 \xe6\x98\x8e";
    d.timeZone = "W. Europe Standard Time";
    d.timeZoneBias = -60;
    d.interfaces = std::vector<NetworkInterface>{{"{A}", true, {"192.168.1.20"}, "192.168.1.1"},
                                                 {"{B}", false, {"10.0.0.5", "10.0.0.6"}, {}},
                                                 {"{C}", true, {}, {}}};
    d.profiles = std::vector<UserProfile>{{"S-1-5-18", "%systemroot%\\system32\\config\\systemprofile", {}},
                                          {"S-1-5-21-1-2-3-1001", "C:\\Users\\a;b", "2023-11-14T22:13:20Z"}};
    d.updates = Updates{2, "KB5031356", "2023-10-16T07:11:36Z"};
    full.details = d;
    full.endOfSupport = "out of support since 2025-10-14";

    Listing nothing = full;
    nothing.details = Details{};
    nothing.endOfSupport.reset();
    nothing.inventory = {};
    Listing failed;
    failed.error = "SOFTWARE: at offset 0x1000: not a key node (\"nk\")\nand more";

    std::ofstream csv(argv[1], std::ios::binary), json(argv[2], std::ios::binary);
    csv << CsvHeader(true);
    const std::tuple<const char*, const disk::Installation*, Listing*> rows[] = {
        {"images/a,b.vhdx", &plain, &full}, {"/mnt/old", &folder, &nothing}, {"bad.img", &plain, &failed}};
    unsigned number = 0;
    for (const auto& [source, installation, listing] : rows) {
        const Json object = InstallationJson(*installation, ++number, *listing);
        csv << CsvRow(source, object, true);
        json << JsonText(Json{{"source", source}, {"installation", object}}) << "\n";
    }
    return csv && json ? 0 : 1;
}
