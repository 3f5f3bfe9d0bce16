#include "installation_title.h"

#include "inventory.h"
#include "memory_registry.h"
#include "registry_paths.h"
#include "registry_read.h"
#include "windows_import.h"

#include <exception>

namespace installations {

using registry_paths::InSoftware;
using registry_paths::InSystem;

namespace {

// Windows NT's workstation, as ProductOptions names it; the window's product type 1.
constexpr const char* kWorkstation = "WinNT";

std::string NameAndRelease() {
    const Inventory inv = ReadInventory();
    const auto productType =
        OpenKey(InSystem(registry_paths::kProductOptions).wide).String(u"ProductType").value_or("");
    std::string title = ProductNameShown(inv.productName.value_or("Windows of no product name"),
                                         productType == kWorkstation ? "1" : "", inv.currentBuildNumber.value_or(""));
    // Releases of Windows 10 on have a name; those before, a service pack.
    if (inv.release) title += " " + *inv.release;
    else if (auto pack = OpenKey(InSoftware(registry_paths::kNtCurrentVersion).wide).String(u"CSDVersion");
             pack && !pack->empty())
        title += " " + *pack;
    if (inv.currentBuildNumber) title += ", build " + *inv.currentBuildNumber;
    return title;
}

}  // namespace

std::string InstallationTitle(disk::Source& source, const disk::Installation& installation) {
    std::string title;
    try {
        const ScopedMemoryRegistry inMemory;
        ImportWindows(source, installation, Extent::VersionKeys);
        title = NameAndRelease();
    } catch (const std::exception& e) {
        // disk::Error, hive::HiveError, win9x::CregError, hivestore::StoreError: that installation alone.
        title = std::string("cannot be read (") + e.what() + ")";
    }
    return title + " \u2014 " + disk::Describe(installation);
}

}  // namespace installations
