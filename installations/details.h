#pragma once
// What an installation's registry says about the machine beside its version, as a system inventory
// shows it: owner, install and shutdown times, time zone, language, names, network, profiles and
// updates. Read from HKLM as an import of Extent::Details leaves it (SYSTEM\CurrentControlSet the
// control set in use); each field is empty where the registry lacks it. Times are UTC, ISO 8601.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace installations {

struct NetworkInterface {
    std::string id;                         // the key's name, a GUID in braces
    bool dhcp = false;                      // EnableDHCP
    std::vector<std::string> addresses;     // IPv4: DhcpIPAddress, or the static IPAddress list
    std::optional<std::string> dhcpServer;  // DhcpServer, when DHCP has one
};

struct UserProfile {
    std::string sid;                      // the key's name, "S-1-5-21-...-1001"
    std::optional<std::string> folder;    // ProfileImagePath, unexpanded ("%SystemDrive%\Users\x")
    std::optional<std::string> lastLoad;  // LocalProfileLoadTime (Windows 7 on), else ProfileLoadTime
};

struct Updates {
    unsigned installed = 0;                    // distinct KB numbers installed
    std::optional<std::string> newestKb;       // "KB5031356": the one installed last
    std::optional<std::string> newestInstall;  // when (servicing packages only: HotFix keeps no time)
};

struct Details {
    std::optional<std::string> registeredOwner = {};
    std::optional<std::string> registeredOrganization = {};
    std::optional<std::string> productId = {};
    std::optional<std::string> installTime = {};      // InstallTime (FILETIME), else InstallDate
    std::optional<std::string> lastShutdown = {};     // Control\Windows ShutdownTime
    std::optional<std::string> timeZone = {};         // TimeZoneKeyName, else StandardName
    std::optional<std::int32_t> timeZoneBias = {};    // minutes: UTC = local time + bias
    std::optional<std::string> systemLocale = {};     // an LCID in hex, "0409"
    std::optional<std::string> installLanguage = {};  // likewise
    std::optional<std::string> hostName = {};
    std::optional<std::string> dnsDomain = {};
    std::optional<std::string> logonDomain = {};
    std::optional<std::vector<NetworkInterface>> interfaces = {};  // those with an address or a DHCP server
    std::optional<std::vector<UserProfile>> profiles = {};
    std::optional<Updates> updates = {};
};

Details ReadDetails();

}  // namespace installations
