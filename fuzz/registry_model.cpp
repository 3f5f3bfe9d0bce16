#include "registry_model.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// The A functions take a key path of at most MAX_PATH characters; a key name has at most 255
// (store: Windows takes 256 in places, the store keeps to the documented 255); a value name 16,383.
// The limits are winapi.h's.
constexpr std::size_t kMaxPath = kMaxAnsiPath;
constexpr LONG kNoAccess = 998;  // ERROR_NOACCESS

std::optional<std::size_t> RootIndex(HKEY hKey) {
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};
    for (std::size_t i = 0; i < std::size(roots); ++i)
        if (hKey == roots[i]) return i;
    return std::nullopt;
}
constexpr std::size_t kRootCount = 5;

// Windows-1252 to Unicode; the five bytes it leaves undefined stand for the C1 controls.
char32_t Unicode(unsigned char b) {
    static constexpr char16_t k80[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                         0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                         0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                         0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    return b >= 0x80 && b < 0xA0 ? k80[b - 0x80] : b;
}

// Simple upper case of the characters Windows-1252 has: no letter becomes two (ß stays ß).
char32_t Upper(char32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
    switch (c) {
        case 0xFF:
            return 0x178;  // ÿ Ÿ
        case 0x161:
            return 0x160;  // š Š
        case 0x153:
            return 0x152;  // œ Œ
        case 0x17E:
            return 0x17D;  // ž Ž
        case 0xB5:
            return 0x39C;  // µ Μ
        case 0x192:
            return 0x191;  // ƒ Ƒ
        default:
            return c;
    }
}

// A key path split at its backslashes: runs of them separate like one, a trailing one is allowed,
// a leading one makes it no path below the key.
LONG SplitPath(LPCSTR path, std::vector<std::string>& parts) {
    parts.clear();
    if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
    const std::string_view rest(path);
    if (rest.size() > kMaxPath) return ERROR_MORE_DATA;
    if (rest.front() == '\\') return ERROR_BAD_PATHNAME;
    std::size_t start = 0;
    while (start <= rest.size()) {
        const std::size_t end = std::min(rest.find('\\', start), rest.size());
        if (end - start > kMaxKeyName) return ERROR_INVALID_PARAMETER;
        if (end > start) parts.emplace_back(rest.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

std::string ValueName(LPCSTR name) {
    return name != nullptr ? name : "";
}

// A name into the caller's buffer of *cch characters with its NUL; *cch becomes the length
// without it. store: a buffer too small takes nothing, and *cch stays as it was.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD cch) {
    if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Data into the caller's buffer: without a buffer only the size; a buffer too small gets
// ERROR_MORE_DATA and the size needed (store: and is left as it was; Windows leaves it undefined).
// store: the bytes come back exactly as written, whatever the type; Windows converts the ANSI
// strings to UTF-16 and back, and may report the UTF-16 size when asked for the size alone.
LONG CopyData(const std::string& data, LPBYTE buffer, LPDWORD cb) {
    const auto size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        if (cb != nullptr) *cb = size;
        return ERROR_SUCCESS;
    }
    const bool fits = *cb >= size;
    if (fits) std::copy(data.begin(), data.end(), buffer);
    *cb = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// store: keys have neither a class nor a time of last write: the class is empty, the time zero.
void NoClassNorTime(LPSTR cls, LPDWORD cchClass, PFILETIME written) {
    if (cls != nullptr && cchClass != nullptr && *cchClass > 0) {
        *cls = '\0';
        *cchClass = 0;
    }
    if (written != nullptr) *written = FILETIME{0, 0};
}

}  // namespace

RegistryModel::Folded RegistryModel::Fold(std::string_view ansi) {
    Folded folded;
    for (char c : ansi) folded += Upper(Unicode(static_cast<unsigned char>(c)));
    return folded;
}

RegistryModel::RegistryModel() {
    static const char* const names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                        "HKEY_CURRENT_CONFIG"};
    for (const char* name : names) keys_.push_back(Key{name, 0, true, {}, {}});
}

// Every call through a handle checks, in this order: that it is a handle (open, and not closed),
// that it was opened with the rights the call needs, and that its key has not been deleted since.
// A call with a key path checks the path's form before the last (as Windows parses the path before
// it walks from the key). The roots are always open with every right.
LONG RegistryModel::Resolve(HKEY hKey, REGSAM needed, std::size_t& key, bool mustLive) const {
    if (auto root = RootIndex(hKey)) {
        key = *root;
        return ERROR_SUCCESS;
    }
    const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (hKey == nullptr || it == handles_.end()) return ERROR_INVALID_HANDLE;
    if ((it->second.access & needed) != needed) return ERROR_ACCESS_DENIED;
    if (mustLive && !keys_[it->second.key].live) return ERROR_KEY_DELETED;
    key = it->second.key;
    return ERROR_SUCCESS;
}

std::optional<std::size_t> RegistryModel::Walk(std::size_t from, const std::vector<std::string>& parts) const {
    std::size_t key = from;
    for (const auto& part : parts) {
        const auto it = keys_[key].subKeys.find(Fold(part));
        if (it == keys_[key].subKeys.end()) return std::nullopt;
        key = it->second;
    }
    return key;
}

LONG RegistryModel::OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult,
                                 LPDWORD lpdwDisposition, bool create) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, 0, key, false)) return rc;
    std::vector<std::string> parts;
    if (const LONG rc = SplitPath(lpSubKey, parts)) return rc;
    if (!keys_[key].live) return ERROR_KEY_DELETED;

    std::size_t found = 0;
    for (; found < parts.size(); ++found) {
        const auto it = keys_[key].subKeys.find(Fold(parts[found]));
        if (it == keys_[key].subKeys.end()) break;
        key = it->second;
    }
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (found < parts.size()) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        // store: the right to make subkeys is asked of the handle only when a key is to be made.
        if (!RootIndex(hKey) && (handles_.at(reinterpret_cast<std::uintptr_t>(hKey)).access & KEY_CREATE_SUB_KEY) == 0)
            return ERROR_ACCESS_DENIED;
        // store: keys nest at most 512 levels below their root, as in Windows (Wine has no limit).
        std::size_t depth = parts.size() - found;
        for (std::size_t up = key; up >= kRootCount; up = keys_[up].parent) ++depth;
        if (depth > 512) return ERROR_INVALID_PARAMETER;
        for (; found < parts.size(); ++found) {
            const std::size_t made = keys_.size();
            keys_.push_back(Key{parts[found], key, true, {}, {}});
            keys_[key].subKeys.emplace(Fold(parts[found]), made);
            key = made;
        }
        disposition = REG_CREATED_NEW_KEY;
    }
    const std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;  // store: a handle value is never handed out twice
    handles_[handle] = Handle{key, samDesired};
    *phkResult = reinterpret_cast<HKEY>(handle);
    if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LONG RegistryModel::OpenKeyEx(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegistryModel::CreateKeyEx(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult,
                                LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
}

LONG RegistryModel::CloseKey(HKEY hKey) {
    if (RootIndex(hKey)) return ERROR_SUCCESS;
    return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegistryModel::FlushKey(HKEY hKey) {
    std::size_t key = 0;
    return Resolve(hKey, 0, key);
}

LONG RegistryModel::QueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                 LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_QUERY_VALUE, key)) return rc;
    const auto it = keys_[key].values.find(Fold(ValueName(lpValueName)));
    if (it == keys_[key].values.end()) return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr) *lpType = it->second.type;
    return CopyData(it->second.data, lpData, lpcbData);
}

LONG RegistryModel::SetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return kNoAccess;
    if (lpValueName != nullptr && std::strlen(lpValueName) > kMaxValueName) return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_SET_VALUE, key)) return rc;
    const std::string name = ValueName(lpValueName);
    std::string data(reinterpret_cast<const char*>(lpData), lpData != nullptr ? cbData : 0);
    auto [it, added] = keys_[key].values.try_emplace(Fold(name), Value{name, dwType, data});
    if (!added) {  // the value keeps the spelling of its name
        it->second.type = dwType;
        it->second.data = std::move(data);
    }
    return ERROR_SUCCESS;
}

LONG RegistryModel::DeleteValue(HKEY hKey, LPCSTR lpValueName) {
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_SET_VALUE, key)) return rc;
    return keys_[key].values.erase(Fold(ValueName(lpValueName))) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

void RegistryModel::Empty(std::size_t key) {
    for (const auto& [folded, sub] : keys_[key].subKeys) {
        Empty(sub);
        keys_[sub].live = false;
    }
    keys_[key].subKeys.clear();
    keys_[key].values.clear();
}

void RegistryModel::Remove(std::size_t key) {
    Empty(key);
    keys_[key].live = false;
    keys_[keys_[key].parent].subKeys.erase(Fold(keys_[key].name));
}

// A key with subkeys is not deleted; a root never is.
LONG RegistryModel::DeleteKey(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, 0, key, false)) return rc;
    std::vector<std::string> parts;
    if (const LONG rc = SplitPath(lpSubKey, parts)) return rc;
    if (!keys_[key].live) return ERROR_KEY_DELETED;
    const auto target = Walk(key, parts);
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (*target < kRootCount || !keys_[*target].subKeys.empty()) return ERROR_ACCESS_DENIED;
    Remove(*target);
    return ERROR_SUCCESS;
}

// Without a subkey the key itself is emptied of values and subkeys and stays; with one, that subkey
// goes with everything below it. The handle needs the rights to look through the key (and to delete
// values, when the key is emptied through it).
LONG RegistryModel::DeleteTree(HKEY hKey, LPCSTR lpSubKey) {
    const bool itself = lpSubKey == nullptr || *lpSubKey == '\0';
    std::size_t key = 0;
    const REGSAM needed = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (itself ? KEY_SET_VALUE : 0);
    if (const LONG rc = Resolve(hKey, needed, key, false)) return rc;
    std::vector<std::string> parts;
    if (const LONG rc = SplitPath(lpSubKey, parts)) return rc;
    if (!keys_[key].live) return ERROR_KEY_DELETED;
    const auto target = Walk(key, parts);
    if (!target) return ERROR_FILE_NOT_FOUND;
    if (itself) Empty(*target);
    else Remove(*target);
    return ERROR_SUCCESS;
}

LONG RegistryModel::EnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                              LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, key)) return rc;
    const auto& subKeys = keys_[key].subKeys;
    if (dwIndex >= subKeys.size()) return ERROR_NO_MORE_ITEMS;
    const LONG rc = CopyName(keys_[std::next(subKeys.begin(), dwIndex)->second].name, lpName, lpcchName);
    if (rc == ERROR_SUCCESS) NoClassNorTime(lpClass, lpcchClass, lpftLastWriteTime);
    return rc;
}

LONG RegistryModel::EnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                              LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_QUERY_VALUE, key)) return rc;
    const auto& values = keys_[key].values;
    if (dwIndex >= values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& value = std::next(values.begin(), dwIndex)->second;
    if (const LONG rc = CopyName(value.name, lpValueName, lpcchValueName)) return rc;
    if (lpType != nullptr) *lpType = value.type;
    return CopyData(value.data, lpData, lpcbData);
}

LONG RegistryModel::QueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                 LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                 LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                 PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::size_t key = 0;
    if (const LONG rc = Resolve(hKey, KEY_QUERY_VALUE, key)) return rc;
    DWORD maxSubKey = 0, maxName = 0, maxData = 0;
    for (const auto& [folded, sub] : keys_[key].subKeys)
        maxSubKey = std::max(maxSubKey, static_cast<DWORD>(keys_[sub].name.size()));
    for (const auto& [folded, value] : keys_[key].values) {
        maxName = std::max(maxName, static_cast<DWORD>(value.name.size()));
        maxData = std::max(maxData, static_cast<DWORD>(value.data.size()));
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(keys_[key].subKeys.size());
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = maxSubKey;
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(keys_[key].values.size());
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = maxData;
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;  // store: no security descriptors
    NoClassNorTime(nullptr, nullptr, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

void RegistryModel::Begin() {
    marks_.push_back(keys_);
}

void RegistryModel::End(bool keep) {
    std::vector<Key> mark = std::move(marks_.back());
    marks_.pop_back();
    if (keep) return;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        if (i < mark.size()) {
            keys_[i] = std::move(mark[i]);
        } else {
            keys_[i].live = false;
            keys_[i].subKeys.clear();
            keys_[i].values.clear();
        }
    }
}
