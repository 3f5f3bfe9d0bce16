#include "memory_registry.h"

#include "handles.h"
#include "stored_text.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace {

struct Value {
    std::string name;  // as given (UTF-8, WTF-8 for a lone surrogate)
    DWORD type = REG_NONE;
    bool utf16 = false;  // given through a W function: string data are UTF-16
    std::string data;
};

struct Key {
    std::uint64_t id = 0;  // a key made again after a delete is another key: its handles do not reach it
    std::string name;
    std::map<std::string, std::shared_ptr<Key>> subkeys;  // by folded name
    std::map<std::string, Value> values;                  // by folded name

    std::shared_ptr<Key> Copy() const {
        auto copy = std::make_shared<Key>();
        copy->id = id;
        copy->name = name;
        copy->values = values;
        for (const auto& [folded, sub] : subkeys) copy->subkeys.emplace(folded, sub->Copy());
        return copy;
    }
};

struct Handle {
    handles::KeyId root = 0;
    std::vector<std::string> path;  // folded names below the root
    std::uint64_t id = 0;
    REGSAM access = 0;
};

constexpr REGSAM kRootAccess = ~REGSAM{0};
constexpr std::size_t kRoots = 7;  // by root id, 1 to 6

thread_local MemoryRegistry* g_active = nullptr;

}  // namespace

class MemoryRegistry {
public:
    MemoryRegistry() {
        for (auto& root : roots_) root = NewKey("");
    }

    // The key a handle names, with the rights asked for; nullptr and the answer code otherwise.
    Key* Resolve(HKEY hKey, REGSAM needed, LONG& rc, std::vector<std::string>* path = nullptr,
                 handles::KeyId* rootId = nullptr) {
        rc = ERROR_SUCCESS;
        if (const auto root = handles::RootId(hKey)) {
            if (path != nullptr) path->clear();
            if (rootId != nullptr) *rootId = *root;
            return roots_[std::size_t(*root)].get();
        }
        const auto h = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
        if (h == handles_.end()) {
            rc = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        if ((h->second.access & needed) != needed) {
            rc = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        Key* key = roots_[std::size_t(h->second.root)].get();
        for (const std::string& folded : h->second.path) {
            const auto sub = key->subkeys.find(folded);
            key = sub == key->subkeys.end() ? nullptr : sub->second.get();
            if (key == nullptr) break;
        }
        if (key == nullptr || key->id != h->second.id) {
            rc = ERROR_KEY_DELETED;
            return nullptr;
        }
        if (path != nullptr) *path = h->second.path;
        if (rootId != nullptr) *rootId = h->second.root;
        return key;
    }

    HKEY Add(Handle handle) {
        const std::uintptr_t h = next_++;
        handles_.emplace(h, std::move(handle));
        return reinterpret_cast<HKEY>(h);
    }
    bool Remove(HKEY hKey) { return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1; }

    std::shared_ptr<Key> NewKey(std::string name) {
        auto key = std::make_shared<Key>();
        key->id = ++ids_;
        key->name = std::move(name);
        return key;
    }

    // What a transaction takes back on failure: every root as it was.
    std::array<std::shared_ptr<Key>, kRoots> Snapshot() const {
        std::array<std::shared_ptr<Key>, kRoots> copy;
        for (std::size_t i = 0; i < kRoots; ++i) copy[i] = roots_[i]->Copy();
        return copy;
    }
    void Restore(std::array<std::shared_ptr<Key>, kRoots> roots) { roots_ = std::move(roots); }

private:
    std::array<std::shared_ptr<Key>, kRoots> roots_;
    std::map<std::uintptr_t, Handle> handles_;
    std::uintptr_t next_ = 0x1000;
    std::uint64_t ids_ = 0;
};

ScopedMemoryRegistry::ScopedMemoryRegistry() : registry_(std::make_unique<MemoryRegistry>()), before_(g_active) {
    g_active = registry_.get();
}

ScopedMemoryRegistry::~ScopedMemoryRegistry() {
    g_active = before_;
}

namespace memory {
namespace {

store::Name NameOf(std::string_view ansi) {
    return store::NameFromAnsi(ansi);
}
store::Name NameOf(std::u16string_view units) {
    return store::NameFromUtf16(units);
}

// The path's names, or the answer for a path the registry refuses (too long for an A function).
template <typename Char>
std::optional<std::vector<store::Name>> Split(const Char* path, LONG& rc) {
    try {
        auto parts = store::SplitPath(path);
        rc = parts ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
        return parts;
    } catch (const store::Failure& f) {
        rc = f.code;
        return std::nullopt;
    }
}

template <typename Char>
LONG Open(HKEY hKey, const Char* subKey, REGSAM sam, PHKEY result, LPDWORD disposition, bool create) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    MemoryRegistry& m = *Active();
    LONG rc = ERROR_SUCCESS;
    Handle handle;
    Key* key = m.Resolve(hKey, 0, rc, &handle.path, &handle.root);
    if (key == nullptr) return rc;
    const REGSAM parentAccess = handles::RootId(hKey) ? kRootAccess : REGSAM(0);
    const auto parts = Split(subKey, rc);
    if (!parts) return rc;
    DWORD done = REG_OPENED_EXISTING_KEY;
    for (const store::Name& part : *parts) {
        auto sub = key->subkeys.find(part.folded);
        if (sub == key->subkeys.end()) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            if (handle.path.size() + 1 > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            if (parentAccess == 0) {
                LONG access = ERROR_SUCCESS;
                if (m.Resolve(hKey, KEY_CREATE_SUB_KEY, access) == nullptr) return access;
            }
            sub = key->subkeys.emplace(part.folded, m.NewKey(part.text)).first;
            done = REG_CREATED_NEW_KEY;
        }
        key = sub->second.get();
        handle.path.push_back(part.folded);
    }
    handle.id = key->id;
    handle.access = sam;
    *result = m.Add(std::move(handle));
    if (disposition != nullptr) *disposition = done;
    return ERROR_SUCCESS;
}

}  // namespace

MemoryRegistry* Active() {
    return g_active;
}

LONG OpenKey(HKEY hKey, const char* subKey, REGSAM sam, PHKEY result, LPDWORD disposition, bool create) {
    return Open(hKey, subKey, sam, result, disposition, create);
}
LONG OpenKey(HKEY hKey, const char16_t* subKey, REGSAM sam, PHKEY result, LPDWORD disposition, bool create) {
    return Open(hKey, subKey, sam, result, disposition, create);
}

LONG CloseKey(HKEY hKey) {
    if (handles::RootId(hKey)) return ERROR_SUCCESS;
    return Active()->Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG FlushKey(HKEY hKey) {
    LONG rc = ERROR_SUCCESS;
    Active()->Resolve(hKey, 0, rc);
    return rc;
}

template <typename Char>
LONG QueryValue(HKEY hKey, const Char* name, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_QUERY_VALUE, rc);
    if (key == nullptr) return rc;
    const auto v = key->values.find(handles::ValueName(name));
    if (v == key->values.end()) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = v->second.type;
    return handles::CopyData(sizeof(Char) == 2, v->second.type, v->second.utf16, v->second.data, data, size);
}

template <typename Char>
LONG SetValue(HKEY hKey, const Char* name, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0) return 998L;  // ERROR_NOACCESS, as Windows answers
    const std::basic_string_view<Char> given = name ? name : std::basic_string_view<Char>();
    if (given.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_SET_VALUE, rc);
    if (key == nullptr) return rc;
    const store::Name n = NameOf(given);
    key->values[n.folded] = Value{n.text, type, sizeof(Char) == 2,
                                  std::string(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size)};
    return ERROR_SUCCESS;
}

template <typename Char>
LONG DeleteValue(HKEY hKey, const Char* name) {
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_SET_VALUE, rc);
    if (key == nullptr) return rc;
    return key->values.erase(handles::ValueName(name)) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

template <typename Char>
LONG DeleteKey(HKEY hKey, const Char* subKey, bool tree) {
    const bool own = tree && (subKey == nullptr || *subKey == Char());
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, own ? KEY_SET_VALUE : REGSAM(0), rc);
    if (key == nullptr) return rc;
    const auto parts = Split(subKey, rc);
    if (!parts) return rc;
    if (own) {
        key->subkeys.clear();
        key->values.clear();
        return ERROR_SUCCESS;
    }
    if (parts->empty()) return ERROR_ACCESS_DENIED;  // a root or the handle's own key stays
    Key* parent = key;
    for (std::size_t i = 0; i + 1 < parts->size(); ++i) {
        const auto sub = parent->subkeys.find((*parts)[i].folded);
        if (sub == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        parent = sub->second.get();
    }
    const auto target = parent->subkeys.find(parts->back().folded);
    if (target == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
    // Windows refuses to delete a key that still has subkeys; the tree form takes them along.
    if (!tree && !target->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(target);
    return ERROR_SUCCESS;
}

template <typename Char>
LONG EnumKey(HKEY hKey, DWORD index, Char* name, LPDWORD cch) {
    if (name == nullptr || cch == nullptr) return ERROR_INVALID_PARAMETER;
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_ENUMERATE_SUB_KEYS, rc);
    if (key == nullptr) return rc;
    if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    return handles::CopyName(std::next(key->subkeys.begin(), index)->second->name, name, cch);
}

template <typename Char>
LONG EnumValue(HKEY hKey, DWORD index, Char* name, LPDWORD cch, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (name == nullptr || cch == nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_QUERY_VALUE, rc);
    if (key == nullptr) return rc;
    if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = std::next(key->values.begin(), index)->second;
    if ((rc = handles::CopyName(v.name, name, cch)) != ERROR_SUCCESS) return rc;
    if (type != nullptr) *type = v.type;
    return handles::CopyData(sizeof(Char) == 2, v.type, v.utf16, v.data, data, size);
}

LONG QueryInfo(HKEY hKey, bool wide, LPDWORD subKeys, LPDWORD maxSubKey, LPDWORD values, LPDWORD maxValueName,
               LPDWORD maxValue) {
    LONG rc = ERROR_SUCCESS;
    Key* key = Active()->Resolve(hKey, KEY_QUERY_VALUE, rc);
    if (key == nullptr) return rc;
    // Names counted in UTF-16 units on both sides, data as the caller's side reads them.
    DWORD longestKey = 0, longestName = 0, longestData = 0;
    for (const auto& [folded, sub] : key->subkeys)
        longestKey = std::max(longestKey, DWORD(handles::Spelled(sub->name, char16_t()).size()));
    for (const auto& [folded, v] : key->values) {
        longestName = std::max(longestName, DWORD(handles::Spelled(v.name, char16_t()).size()));
        DWORD bytes = 0;
        handles::CopyData(wide, v.type, v.utf16, v.data, nullptr, &bytes);
        longestData = std::max(longestData, bytes);
    }
    if (subKeys != nullptr) *subKeys = DWORD(key->subkeys.size());
    if (maxSubKey != nullptr) *maxSubKey = longestKey;
    if (values != nullptr) *values = DWORD(key->values.size());
    if (maxValueName != nullptr) *maxValueName = longestName;
    if (maxValue != nullptr) *maxValue = longestData;
    return ERROR_SUCCESS;
}

LONG Transaction(const std::function<LONG()>& body) {
    MemoryRegistry& m = *Active();
    auto before = m.Snapshot();
    LONG result = ERROR_SUCCESS;
    try {
        result = body();
    } catch (...) {
        m.Restore(std::move(before));
        throw;
    }
    if (result != ERROR_SUCCESS) m.Restore(std::move(before));
    return result;
}

LONG TreeCreateKey(HKEY hKey, std::u16string_view name, PHKEY result) {
    if (name.empty() || name.size() > kMaxKeyName || name.find(u'\\') != std::u16string_view::npos)
        return ERROR_INVALID_PARAMETER;
    const std::u16string path(name);
    return Open(hKey, path.c_str(), KEY_ALL_ACCESS, result, nullptr, true);
}

LONG TreeSetValue(HKEY hKey, std::u16string_view name, DWORD type, const BYTE* data, DWORD size) {
    const std::u16string given(name);
    return SetValue(hKey, given.c_str(), type, data, size);
}

// Both sides of the API.
template LONG QueryValue(HKEY, const char*, LPDWORD, LPBYTE, LPDWORD);
template LONG QueryValue(HKEY, const char16_t*, LPDWORD, LPBYTE, LPDWORD);
template LONG SetValue(HKEY, const char*, DWORD, const BYTE*, DWORD);
template LONG SetValue(HKEY, const char16_t*, DWORD, const BYTE*, DWORD);
template LONG DeleteValue(HKEY, const char*);
template LONG DeleteValue(HKEY, const char16_t*);
template LONG DeleteKey(HKEY, const char*, bool);
template LONG DeleteKey(HKEY, const char16_t*, bool);
template LONG EnumKey(HKEY, DWORD, char*, LPDWORD);
template LONG EnumKey(HKEY, DWORD, char16_t*, LPDWORD);
template LONG EnumValue(HKEY, DWORD, char*, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
template LONG EnumValue(HKEY, DWORD, char16_t*, LPDWORD, LPDWORD, LPBYTE, LPDWORD);

}  // namespace memory
