#pragma once
// What an inventory of Windows installations wants beyond what the window shows, read from the store
// in use (HKLM, as import-windows or an import of the version keys leaves it).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace installations {

struct Inventory {
    std::optional<std::string> productName;         // as the registry spells it, "Windows 10 Pro"
                                                    // (Windows 9x: "Microsoft Windows 98")
    std::optional<std::string> currentBuildNumber;  // "22631"
    std::optional<std::uint32_t> ubr;               // the update revision of that build
    std::optional<std::string> release;             // DisplayVersion ("23H2"), else ReleaseId ("2009")
    std::optional<std::string> editionId;           // "Professional"
    std::optional<std::string> installDate;         // UTC, "2023-10-31T08:15:00Z"
    std::optional<std::string> computerName;
    std::optional<std::string> architecture;  // PROCESSOR_ARCHITECTURE: "AMD64", "x86", "ARM64"
};

Inventory ReadInventory();

// The product name as people know it: Windows 11 keeps "Windows 10" in ProductName, so a
// workstation (product type 1) of build 22000 or later is named Windows 11.
std::string ProductNameShown(std::string_view productName, std::string_view productType, std::string_view build);

// Seconds since 1970 as ISO 8601 in UTC; the install date Windows keeps (InstallDate).
std::string IsoUtc(std::uint64_t unixSeconds);

}  // namespace installations
