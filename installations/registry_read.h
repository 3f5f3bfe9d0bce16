#pragma once
// Typed reads of one key below HKLM through the registry API, for the inventory's readers: a value
// of another type than the one Windows documents for it reads as absent.
#include "winapi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace installations {

class OpenKey {
public:
    explicit OpenKey(const std::u16string& path);
    ~OpenKey();
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    explicit operator bool() const { return h_ != nullptr; }

    // The value's type and bytes, when the key and the value are there.
    bool Raw(const char16_t* name, DWORD& type, std::vector<std::uint8_t>& data) const;
    // REG_SZ or REG_EXPAND_SZ (unexpanded), to its first NUL.
    std::optional<std::string> String(const char16_t* name) const;
    // REG_MULTI_SZ's strings, empty ones left out; a REG_SZ as one string.
    std::optional<std::vector<std::string>> Strings(const char16_t* name) const;
    // REG_DWORD or REG_QWORD.
    std::optional<std::uint64_t> Number(const char16_t* name) const;
    // The names of the subkeys, in the registry's order.
    std::vector<std::u16string> Subkeys() const;

private:
    HKEY h_ = nullptr;
};

// FILETIME (100 ns since 1601) as ISO 8601 in UTC; none before 1970 (what an unset time reads as).
std::optional<std::string> FiletimeUtc(std::uint64_t filetime);

// When the installation was made: InstallTime (a FILETIME, Windows 10 on) is the exact moment,
// InstallDate (seconds since 1970) its seconds.
std::optional<std::string> InstallTime(const OpenKey& currentVersion);

}  // namespace installations
