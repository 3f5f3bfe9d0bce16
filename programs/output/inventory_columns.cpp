// list-windows' fields: the tables, and what each field takes from what was read of an installation.
#include "inventory_columns.h"

#include "inventory_csv.h"

#include <array>
#include <cstddef>

namespace output {
namespace {

using installations::Details;
using Support = std::optional<std::string>;

template <typename T>
Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// An object of `fields`, each with its value, in order; a value missing or one too many does not compile.
template <std::size_t N>
Json Object(const std::array<Field, N>& fields, const Json (&values)[N]) {
    Json out = Json::object();
    for (std::size_t i = 0; i < N; ++i) out[fields[i].json] = values[i];
    return out;
}

constexpr std::array<Field, 4> kInterfaceFields{{
    {"id", nullptr, "its key's name, a GUID in braces"},
    {"dhcp", nullptr, "true where DHCP gives it its address"},
    {"addresses", nullptr, "its IPv4 addresses: DHCP's, or the static ones"},
    {"dhcpServer", nullptr, "the DHCP server, where there is one"},
}};

constexpr std::array<Field, 3> kProfileFields{{
    {"sid", nullptr, "the user's SID, S-1-5-21-...-1001"},
    {"folder", nullptr, "the profile's folder, unexpanded (%SystemDrive%\\Users\\ann)"},
    {"lastLoad", nullptr, "when it was last loaded"},
}};

constexpr std::array<Field, 3> kUpdateFields{{
    {"installed", "updatesInstalled", "how many updates are installed, counted by KB number"},
    {"newestKb", "newestUpdate", "the one installed last, KB5031356"},
    {"newestInstall", "newestUpdateInstalled", "when it was installed (HotFix keeps no time)"},
}};

Json Interfaces(const Details& d, const Support&) {
    if (!d.interfaces) return nullptr;
    Json out = Json::array();
    for (const auto& n : *d.interfaces)
        out.push_back(Object(kInterfaceFields, {n.id, n.dhcp, n.addresses, OrNull(n.dhcpServer)}));
    return out;
}

Json Profiles(const Details& d, const Support&) {
    if (!d.profiles) return nullptr;
    Json out = Json::array();
    for (const auto& p : *d.profiles)
        out.push_back(Object(kProfileFields, {p.sid, OrNull(p.folder), OrNull(p.lastLoad)}));
    return out;
}

Json Updates(const Details& d, const Support&) {
    if (!d.updates) return nullptr;
    const auto& u = *d.updates;
    return Object(kUpdateFields, {u.installed, OrNull(u.newestKb), OrNull(u.newestInstall)});
}

using Found = const disk::Installation&;
using Read = const Listing&;

constexpr Column kColumns[] = {
    {"source", "source", "the SOURCE, or a disk image found in it", From::Source},
    {"installation", "installation", "its number on its source, from 1", From::Volume,
     [](Found, unsigned number, Read) { return Json(number); }},
    {"partition", "partition", "the partition, from 1; 0 for a bare volume or a folder", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.volume.partition); }},
    {"offset", "offset", "where the volume starts on the disk, in bytes", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.volume.offset); }},
    {"fileSystem", "fileSystem", "NTFS, FAT12, FAT16, FAT32, or folder", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.volume.fileSystem); }},
    {"label", "label", "the volume's label, empty when it has none", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.volume.label); }},
    {"folder", "folder", "the Windows folder on the volume", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.folder); }},
    {"earlier", "earlier", "true for a Windows an upgrade kept (Windows.old)", From::Volume,
     [](Found i, unsigned, Read) { return Json(i.earlier); }},
    {"error", "error", "why the source or its registry cannot be read", From::Error},
    {"name", "name", "the product name as the line shows it", From::Registry,
     [](Found, unsigned, Read l) { return Json(l.name); }},
    {"Caption", "Caption", "the version code the window's caption shows", From::Window},
    {"MajorVersion", "MajorVersion", "the major version, as the window shows it", From::Window},
    {"MinorVersion", "MinorVersion", "the minor version, likewise", From::Window},
    {"CSDVersion", "CSDVersion", "the service pack, likewise", From::Window},
    {"ProductType", "ProductType", "the product type (1 a workstation), likewise", From::Window},
    {"ProductName", "ProductName", "the product name, likewise", From::Window},
    {"CurrentBuildNumber", "CurrentBuildNumber", "the build, 19045", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.currentBuildNumber); }},
    {"UBR", "UBR", "the update revision of that build", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.ubr); }},
    {"release", "release", "DisplayVersion (22H2), else ReleaseId", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.release); }},
    {"EditionID", "EditionID", "the edition, Professional", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.editionId); }},
    {"installDate", "installDate", "when it was installed (UTC)", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.installDate); }},
    {"computerName", "computerName", "the computer's name", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.computerName); }},
    {"architecture", "architecture", "PROCESSOR_ARCHITECTURE (AMD64, x86, ARM64)", From::Registry,
     [](Found, unsigned, Read l) { return OrNull(l.inventory.architecture); }},
};

constexpr DetailColumn kDetailColumns[] = {
    {"registeredOwner", "registeredOwner", "the owner Windows was registered to",
     [](const Details& d, const Support&) { return OrNull(d.registeredOwner); }},
    {"registeredOrganization", "registeredOrganization", "the organization, likewise",
     [](const Details& d, const Support&) { return OrNull(d.registeredOrganization); }},
    {"productId", "productId", "the product ID", [](const Details& d, const Support&) { return OrNull(d.productId); }},
    {"installTime", "installTime", "when it was installed (InstallTime, else InstallDate)",
     [](const Details& d, const Support&) { return OrNull(d.installTime); }},
    {"lastShutdown", "lastShutdown", "when it was last shut down",
     [](const Details& d, const Support&) { return OrNull(d.lastShutdown); }},
    {"timeZone", "timeZone", "the time zone, W. Europe Standard Time",
     [](const Details& d, const Support&) { return OrNull(d.timeZone); }},
    {"timeZoneBias", "timeZoneBias", "its bias in minutes (UTC = local time + bias)",
     [](const Details& d, const Support&) { return OrNull(d.timeZoneBias); }},
    {"systemLocale", "systemLocale", "the system locale, an LCID in hex (0409)",
     [](const Details& d, const Support&) { return OrNull(d.systemLocale); }},
    {"installLanguage", "installLanguage", "the language Windows was installed in, likewise",
     [](const Details& d, const Support&) { return OrNull(d.installLanguage); }},
    {"hostName", "hostName", "the host name", [](const Details& d, const Support&) { return OrNull(d.hostName); }},
    {"dnsDomain", "dnsDomain", "the DNS domain", [](const Details& d, const Support&) { return OrNull(d.dnsDomain); }},
    {"logonDomain", "logonDomain", "the domain users last logged on to",
     [](const Details& d, const Support&) { return OrNull(d.logonDomain); }},
    {"interfaces", "interfaces",
     "the network interfaces with an address or a DHCP server; in CSV \"ID: address, address (DHCP server)\", "
     "\"; \" between",
     Interfaces, InterfacesCell, kInterfaceFields},
    {"profiles", "profiles", "the user profiles; in CSV \"SID: folder (last load)\", \"; \" between", Profiles,
     ProfilesCell, kProfileFields},
    {"updates", nullptr, "the updates installed", Updates, nullptr, kUpdateFields},
    {"endOfSupport", "endOfSupport",
     "\"supported until D\" or \"out of support since D\", from the end-of-support table installed beside the "
     "program",
     [](const Details&, const Support& endOfSupport) { return OrNull(endOfSupport); }},
};

}  // namespace

std::span<const Column> InstallationColumns() {
    return kColumns;
}

std::span<const DetailColumn> DetailColumns() {
    return kDetailColumns;
}

}  // namespace output
