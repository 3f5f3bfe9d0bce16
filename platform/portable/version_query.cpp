// The portable version query: GetVersionExA answered from the values that Windows itself keeps in
// the registry, read from the portable store.
#include "ascii.h"
#include "registry_paths.h"
#include "winapi.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

class Key {
public:
    explicit Key(const char* path) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &h_) != ERROR_SUCCESS) h_ = nullptr;
    }
    ~Key() {
        if (h_ != nullptr) RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return h_ != nullptr; }

    std::optional<std::string> Raw(const char* name, DWORD wanted) const {
        if (h_ == nullptr) return std::nullopt;
        DWORD type = 0, size = 0;
        if (RegQueryValueExA(h_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != wanted)
            return std::nullopt;
        std::string data(size, '\0');
        if (RegQueryValueExA(h_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
            return std::nullopt;
        data.resize(size);
        return data;
    }
    // A REG_SZ up to its first NUL.
    std::optional<std::string> String(const char* name) const {
        auto data = Raw(name, REG_SZ);
        if (data) data->resize(std::strlen(data->c_str()));
        return data;
    }
    std::optional<DWORD> Dword(const char* name) const {
        auto data = Raw(name, REG_DWORD);
        if (!data || data->size() < 4) return std::nullopt;
        DWORD v = 0;
        std::memcpy(&v, data->data(), 4);
        return v;
    }
    // The strings of a REG_MULTI_SZ.
    std::vector<std::string> Strings(const char* name) const {
        std::vector<std::string> out;
        auto data = Raw(name, REG_MULTI_SZ);
        if (!data) return out;
        size_t start = 0;
        while (start < data->size()) {
            const size_t end = std::min(data->find('\0', start), data->size());
            if (end > start) out.push_back(data->substr(start, end - start));
            start = end + 1;
        }
        return out;
    }

private:
    HKEY h_ = nullptr;
};

// Leading decimal number of `text`, as "6" in "6.1" or "19045".
std::optional<DWORD> Number(std::string_view text) {
    DWORD v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return v;
}

// "6.1" or "4.10.2222" into its dotted parts.
std::vector<DWORD> DottedNumbers(const std::string& text) {
    std::vector<DWORD> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const auto n = Number(std::string_view(text).substr(start, dot - start));
        if (!n) break;
        parts.push_back(*n);
        start = dot + 1;
    }
    return parts;
}

// Service pack number from a CSD text such as "Service Pack 3".
WORD ServicePackFromText(const std::string& csd) {
    const auto digit = std::find_if(csd.begin(), csd.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digit == csd.end()) return 0;
    return static_cast<WORD>(Number(std::string_view(&*digit, static_cast<size_t>(csd.end() - digit))).value_or(0));
}

void CopyCsd(OSVERSIONINFOEXA& rec, const std::string& csd) {
    std::memset(rec.szCSDVersion, 0, sizeof rec.szCSDVersion);
    // The field holds 127 bytes and its NUL; a longer text is cut, as the platform does.
    std::memcpy(rec.szCSDVersion, csd.data(), std::min(csd.size(), sizeof rec.szCSDVersion - 1));
}

bool FillNt(OSVERSIONINFOEXA& rec) {
    const Key nt(registry_paths::kProductNameKey.ansi);
    if (!nt) return false;
    rec.dwPlatformId = VER_PLATFORM_WIN32_NT;
    const auto major = nt.Dword("CurrentMajorVersionNumber");
    const auto minor = nt.Dword("CurrentMinorVersionNumber");
    if (major && minor) {
        rec.dwMajorVersion = *major;
        rec.dwMinorVersion = *minor;
    } else if (auto current = nt.String("CurrentVersion")) {
        const auto parts = DottedNumbers(*current);
        rec.dwMajorVersion = parts.size() > 0 ? parts[0] : 0;
        rec.dwMinorVersion = parts.size() > 1 ? parts[1] : 0;
    }
    if (auto build = nt.String("CurrentBuildNumber")) rec.dwBuildNumber = Number(*build).value_or(0);
    const std::string csd = nt.String("CSDVersion").value_or("");
    CopyCsd(rec, csd);

    const Key windows(registry_paths::kWindowsControlKey.ansi);
    if (auto packed = windows.Dword("CSDVersion")) {
        rec.wServicePackMajor = static_cast<WORD>((*packed >> 8) & 0xFF);
        rec.wServicePackMinor = static_cast<WORD>(*packed & 0xFF);
    } else {
        rec.wServicePackMajor = ServicePackFromText(csd);
    }

    const Key options(registry_paths::kProductOptionsKey.ansi);
    if (auto type = options.String("ProductType")) {
        if (EqualsAsciiFolded(*type, "WinNT")) rec.wProductType = VER_NT_WORKSTATION;
        else if (EqualsAsciiFolded(*type, "LanmanNT")) rec.wProductType = VER_NT_DOMAIN_CONTROLLER;
        else if (EqualsAsciiFolded(*type, "ServerNT")) rec.wProductType = VER_NT_SERVER;
    }
    for (const auto& suite : options.Strings("ProductSuite"))
        if (EqualsAsciiFolded(suite, "Enterprise")) rec.wSuiteMask |= VER_SUITE_ENTERPRISE;
    return true;
}

bool Fill9x(OSVERSIONINFOEXA& rec) {
    const Key key(registry_paths::kWindows9xVersionKey.ansi);
    const auto number = key.String("VersionNumber");
    if (!number) return false;
    const auto parts = DottedNumbers(*number);
    rec.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
    rec.dwMajorVersion = parts.size() > 0 ? parts[0] : 0;
    rec.dwMinorVersion = parts.size() > 1 ? parts[1] : 0;
    rec.dwBuildNumber = parts.size() > 2 ? parts[2] : 0;
    CopyCsd(rec, key.String("SubVersionNumber").value_or(""));
    return true;
}

}  // namespace

BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr || lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))
        return FALSE;
    // Built aside and copied only when complete: a failed query leaves the caller's record as it was.
    OSVERSIONINFOEXA rec{};
    rec.dwOSVersionInfoSize = sizeof rec;
    if (!FillNt(rec)) {
        rec = OSVERSIONINFOEXA{};
        rec.dwOSVersionInfoSize = sizeof rec;
        if (!Fill9x(rec)) return FALSE;
    }
    std::memcpy(lpVersionInformation, &rec, sizeof rec);
    return TRUE;
}
