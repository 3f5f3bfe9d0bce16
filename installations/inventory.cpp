#include "inventory.h"

#include "registry_paths.h"
#include "registry_read.h"
#include "winapi.h"

#include <charconv>
#include <ctime>

namespace installations {

using registry_paths::InSoftware;
using registry_paths::InSystem;

namespace {

// Windows 11's first build; Windows 10's are below it.
constexpr unsigned kWindows11Build = 22000;

}  // namespace

Inventory ReadInventory() {
    Inventory inv;
    const OpenKey nt(InSoftware(registry_paths::kNtCurrentVersion).wide);
    inv.productName = nt.String(u"ProductName");
    // Windows 95, 98 and Me keep it beside their version, under Windows rather than Windows NT.
    if (!inv.productName)
        inv.productName = OpenKey(InSoftware(registry_paths::kCurrentVersion).wide).String(u"ProductName");
    inv.currentBuildNumber = nt.String(u"CurrentBuildNumber");
    if (auto ubr = nt.Number(u"UBR"); ubr && *ubr <= 0xFFFFFFFFu) inv.ubr = static_cast<std::uint32_t>(*ubr);
    inv.release = nt.String(u"DisplayVersion");
    if (!inv.release) inv.release = nt.String(u"ReleaseId");
    inv.editionId = nt.String(u"EditionID");
    inv.installDate = InstallTime(nt);
    if (!nt) {
        // Windows 95, 98 and Me: the build is VersionNumber's last part ("4.10.2222").
        const OpenKey nine(InSoftware(registry_paths::kCurrentVersion).wide);
        if (auto number = nine.String(u"VersionNumber"); number && number->rfind('.') != std::string::npos) {
            const std::string build = number->substr(number->rfind('.') + 1);
            if (!build.empty()) inv.currentBuildNumber = build;
        }
    }
    inv.computerName = OpenKey(InSystem(registry_paths::kComputerName).wide).String(u"ComputerName");
    inv.architecture = OpenKey(InSystem(registry_paths::kEnvironment).wide).String(u"PROCESSOR_ARCHITECTURE");
    return inv;
}

std::string ProductNameShown(std::string_view productName, std::string_view productType, std::string_view build) {
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(build.data(), build.data() + build.size(), number);
    const bool windows11 =
        ec == std::errc() && end == build.data() + build.size() && number >= kWindows11Build && productType == "1";
    std::string name(productName);
    const size_t at = name.find("Windows 10");
    if (windows11 && at != std::string::npos) name.replace(at, 10, "Windows 11");
    return name;
}

std::string IsoUtc(std::uint64_t unixSeconds) {
    const auto t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace installations
