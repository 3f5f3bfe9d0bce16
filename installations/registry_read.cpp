#include "registry_read.h"

#include "inventory.h"
#include "utf16.h"
#include "version_keys.h"

#include <cassert>
#include <cstring>

namespace installations {
namespace {

// FILETIME counts 100 ns from 1601; Unix time seconds from 1970.
constexpr std::uint64_t kFiletimeTicksPerSecond = 10000000;
constexpr std::uint64_t kFiletimeSecondsTo1970 = 11644473600;
// The longest key name Windows allows, in UTF-16 units, and its NUL.
constexpr DWORD kMaxKeyName = 256;

std::u16string Units(const std::vector<std::uint8_t>& data) {
    std::u16string text(data.size() / 2, u'\0');
    // An empty value's data may be no buffer at all, which memcpy may not be given even for nothing.
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

}  // namespace

OpenKey::OpenKey(const std::u16string& path) {
    // A key an installation read off a disk does not bring would read as missing there.
    assert(Imported(path) && "an installation's reader opens a key that version_keys.cpp does not import");
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, &h_) !=
        ERROR_SUCCESS)
        h_ = nullptr;
}

OpenKey::~OpenKey() {
    if (h_ != nullptr) RegCloseKey(h_);
}

bool OpenKey::Raw(const char16_t* name, DWORD& type, std::vector<std::uint8_t>& data) const {
    if (h_ == nullptr) return false;
    DWORD size = 0;
    if (RegQueryValueExW(h_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    if (RegQueryValueExW(h_, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return true;
}

std::optional<std::string> OpenKey::String(const char16_t* name) const {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (!Raw(name, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
    std::u16string text = Units(data);
    text.resize(std::min(text.find(u'\0'), text.size()));
    return Utf16ToWtf8(text);
}

std::optional<std::vector<std::string>> OpenKey::Strings(const char16_t* name) const {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (!Raw(name, type, data) || (type != REG_MULTI_SZ && type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    const std::u16string units = Units(data);
    std::vector<std::string> out;
    for (size_t at = 0; at < units.size();) {
        const size_t end = std::min(units.find(u'\0', at), units.size());
        if (end > at) out.push_back(Utf16ToWtf8(std::u16string_view(units).substr(at, end - at)));
        // A REG_SZ ends at its first NUL; a REG_MULTI_SZ at an empty string.
        if (type != REG_MULTI_SZ || end == at) break;
        at = end + 1;
    }
    return out;
}

std::optional<std::uint64_t> OpenKey::Number(const char16_t* name) const {
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (!Raw(name, type, data)) return std::nullopt;
    if (type == REG_DWORD && data.size() == 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);
        return v;
    }
    if (type == REG_QWORD && data.size() == 8) {
        std::uint64_t v = 0;
        std::memcpy(&v, data.data(), 8);
        return v;
    }
    return std::nullopt;
}

std::vector<std::u16string> OpenKey::Subkeys() const {
    std::vector<std::u16string> names;
    if (h_ == nullptr) return names;
    for (DWORD i = 0;; ++i) {
        char16_t name[kMaxKeyName];
        DWORD length = kMaxKeyName;
        const LONG rc = RegEnumKeyExW(h_, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) continue;  // longer than Windows allows: from a damaged hive
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

std::optional<std::string> FiletimeUtc(std::uint64_t filetime) {
    const std::uint64_t seconds = filetime / kFiletimeTicksPerSecond;
    if (seconds < kFiletimeSecondsTo1970) return std::nullopt;
    return IsoUtc(seconds - kFiletimeSecondsTo1970);
}

std::optional<std::string> InstallTime(const OpenKey& currentVersion) {
    if (auto time = currentVersion.Number(u"InstallTime"); time && FiletimeUtc(*time)) return FiletimeUtc(*time);
    if (auto date = currentVersion.Number(u"InstallDate")) return IsoUtc(*date);
    return std::nullopt;
}

}  // namespace installations
