#include "modWindowsVersion.h"

#include "QxRegistry.h"
#include "registry_paths.h"
#include "text.h"
#include "winapi.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

struct NamePattern {
    std::string_view pattern;
    std::int32_t code;
};

// Tried in this order; the first that occurs in the name decides. Server names come first because
// a server's name may also mention the desktop release it shares a kernel with.
constexpr std::array<NamePattern, 10> kNamePatterns{{
    {"SERVER 2022", 22},
    {"SERVER 2019", 21},
    {"SERVER 2016", 20},
    {"SERVER 2012", 18},
    {"SERVER 2008", 16},
    {"SERVER 2003", 13},
    {"WINDOWS 10", 19},
    {"WINDOWS 8", 17},
    {"WINDOWS 7", 15},
    {"WINDOWS XP", 12},
}};

// The letter that marks later Windows 95 and 98 editions: the CSD text without its blanks.
std::string ServiceLetter(const OsVersionRecord& record) {
    std::string letter = record.CsdText();
    letter.erase(std::remove(letter.begin(), letter.end(), ' '), letter.end());
    return letter;
}

std::int32_t Windows9xCode(const OsVersionRecord& r) {
    if (r.dwMajorVersion != 4) return 0;
    const std::string letter = ServiceLetter(r);
    switch (r.dwMinorVersion) {
        case 0:
            if (letter == "C") return 4;
            if (letter == "B") return 3;
            return 2;
        case 10:
            return letter == "A" ? 6 : 5;
        case 90:
            return 7;
        default:
            return 0;
    }
}

std::int32_t WindowsNtCode(const OsVersionRecord& r) {
    const bool server = r.wProductType == VER_NT_SERVER;
    switch (r.dwMajorVersion) {
        case 4:
            return 8;
        case 5:
            switch (r.dwMinorVersion) {
                case 0:
                    if (server) return 10;
                    if (r.wProductType == VER_NT_DOMAIN_CONTROLLER && (r.wSuiteMask & VER_SUITE_ENTERPRISE) != 0)
                        return 11;
                    return 9;
                case 1:
                    return 12;
                case 2:
                    return 13;
                default:
                    return 0;
            }
        case 6:
            if (r.dwMinorVersion == 0) return 14;
            if (r.dwMinorVersion == 1) return server ? 16 : 15;
            return server ? 18 : 17;
        case 10:
            return server ? 20 : 19;
        default:
            return 0;
    }
}

}  // namespace

OsVersionRecord QueryOsVersionRecord() {
    OSVERSIONINFOEXA raw{};
    raw.dwOSVersionInfoSize = sizeof raw;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&raw));  // on failure the zeroes stay

    OsVersionRecord r;
    r.dwOSVersionInfoSize = static_cast<std::int32_t>(raw.dwOSVersionInfoSize);
    r.dwMajorVersion = static_cast<std::int32_t>(raw.dwMajorVersion);
    r.dwMinorVersion = static_cast<std::int32_t>(raw.dwMinorVersion);
    r.dwBuildNumber = static_cast<std::int32_t>(raw.dwBuildNumber);
    r.dwPlatformId = static_cast<std::int32_t>(raw.dwPlatformId);
    r.szCSDVersion = AnsiToText(std::string_view(raw.szCSDVersion, sizeof raw.szCSDVersion));
    r.wServicePackMajor = static_cast<std::int16_t>(raw.wServicePackMajor);
    r.wServicePackMinor = static_cast<std::int16_t>(raw.wServicePackMinor);
    r.wSuiteMask = static_cast<std::int16_t>(raw.wSuiteMask);
    r.wProductType = raw.wProductType;
    r.wReserved = raw.wReserved;
    return r;
}

std::int32_t VersionCodeFromProductName(const std::string& upperCaseName) {
    for (const auto& [pattern, code] : kNamePatterns)
        if (upperCaseName.find(pattern) != std::string::npos) return code;
    return 0;
}

std::int32_t VersionCodeFromRecord(const OsVersionRecord& r) {
    switch (r.dwPlatformId) {
        case VER_PLATFORM_WIN32s:
            return 1;
        case VER_PLATFORM_WIN32_WINDOWS:
            return Windows9xCode(r);
        case VER_PLATFORM_WIN32_NT:
            return WindowsNtCode(r);
        default:
            return 0;
    }
}

std::int32_t GetWindowsVersionFromApi() {
    return VersionCodeFromRecord(QueryOsVersionRecord());
}

std::int32_t GetWindowsVersion() {
    std::int32_t code = 0;
    {
        QxRegistry registry;  // released at the end of this block, before the fallback
        if (registry.OpenKey(registry_paths::kProductNameKey.ansi, HKEY_LOCAL_MACHINE)) {
            const std::string name = UCase(registry.GetStringValue("ProductName", ""));
            registry.CloseKey();
            code = VersionCodeFromProductName(name);
        }
    }
    return code != 0 ? code : GetWindowsVersionFromApi();
}
