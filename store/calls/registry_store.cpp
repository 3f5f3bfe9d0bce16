// The portable registry: Win32 registry calls answered from SQLite databases.
//
// Keys form a tree of rows; a key or value name keeps the spelling it was created with and is found
// through its case-folded form, as Windows compares names without regard to case. Names are held
// whole as UTF-8, as Windows holds them in UTF-16; value data are kept as the exact bytes given, the
// string types' data marked with the encoding they came in (ANSI through an A function, UTF-16
// through a W function). Each side of the API gets names and string data converted to its own
// encoding on the way out; an A function gets what Windows' A functions give for a character the
// code page lacks: its best-fit look-alike, else "?".
// The parts: this file (the registry calls), handles (open keys, cursors, the call guard),
// stored_text (names and data as each side spells them), tree_writes (the StoreTree* calls),
// store_paths (where the stores are), and store/ (all that knows SQL and the store file).
#include "registry_store.h"

#include "handles.h"
#include "memory_registry.h"
#include "stored_text.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace store;
using namespace handles;

namespace {

template <typename Char>
LONG OpenOrCreate(HKEY hKey, const Char* lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition,
                  bool create) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failed open leaves no handle behind
    return Guarded([&](Store& store) -> LONG {
        OpenKey& parentKey = KeyFor(store, hKey, 0, create);
        Database& db = *parentKey.db;
        const KeyId parent = parentKey.id;
        const REGSAM parentAccess = parentKey.access;
        const std::uint64_t file = parentKey.file;
        // Refused before the path's names are made: a reader who may not write is often asked for
        // write rights first (and then opens for reading), and the path's own faults come first.
        if ((samDesired & kWriteRights) != 0 && !db.MayWrite()) {
            const LONG fault = PathFault(lpSubKey);
            return fault != ERROR_SUCCESS ? fault : ERROR_ACCESS_DENIED;
        }
        const auto parts = SplitPath(lpSubKey);
        if (!parts) return ERROR_BAD_PATHNAME;

        StatementCache* s = db.ForRead();
        KeyId id = parent;
        size_t found = 0;
        if (s != nullptr) {
            ReadCache* cache = db.Cache();
            ReadScope read(*s);
            id = Walk(*s, parent, *parts, found, cache);
            if (found == 0) MustExist(s, parent, cache);
        } else {
            MustExist(s, parent);
        }
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (found < parts->size()) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            if (!db.MayWrite()) return ERROR_ACCESS_DENIED;
            if ((parentAccess & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
            WriteScope write(store.transactions, db);
            // Look again inside the transaction: another process may have made or deleted part of
            // the path. The keys found stand if the deepest does: ids are never reused, and a key
            // goes with its parent.
            if (found > 0 && KeyExists(write.S(), id)) {
                const std::vector<Name> rest(parts->begin() + static_cast<std::ptrdiff_t>(found), parts->end());
                size_t more = 0;
                id = Walk(write.S(), id, rest, more);
                found += more;
            } else {
                id = Walk(write.S(), parent, *parts, found);
                if (found == 0) MustExist(&write.S(), parent);
            }
            // Below a root the depth is the path's length; below another key it is looked up.
            const size_t depth = IsRootId(parent) ? parts->size() : KeyDepth(write.S(), id) + parts->size() - found;
            if (depth > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            for (; found < parts->size(); ++found) {
                id = CreateChild(write.S(), id, (*parts)[found]);
                disposition = REG_CREATED_NEW_KEY;
            }
            write.Commit();
        }
        *phkResult = store.Add(&db, id, samDesired, file);
        if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
        return ERROR_SUCCESS;
    });
}

template <typename Char>
LONG DeleteKey(HKEY hKey, const Char* lpSubKey, bool tree) {
    if (memory::Active()) return memory::DeleteKey(hKey, lpSubKey, tree);
    return Guarded([&](Store& store) -> LONG {
        const bool ownContents = tree && (lpSubKey == nullptr || *lpSubKey == Char());
        const REGSAM needed = !tree ? 0 : KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (ownContents ? KEY_SET_VALUE : 0);
        OpenKey& key = KeyFor(store, hKey, needed, true);
        Database& db = *key.db;
        const KeyId parent = key.id;
        const auto parts = SplitPath(lpSubKey);
        if (!parts) return ERROR_BAD_PATHNAME;
        StatementCache* s = db.ForRead();
        if (s == nullptr) {
            // Nothing stored yet: the same answers as a store whose keys are all empty.
            MustExist(s, parent);
            if (!parts->empty()) return ERROR_FILE_NOT_FOUND;
            if (!ownContents) return ERROR_ACCESS_DENIED;  // a root stays
            return db.MayWrite() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        }
        size_t found = 0;
        KeyId target = parent;
        {
            ReadScope read(*s);
            target = Walk(*s, parent, *parts, found);
            if (found == 0) MustExist(s, parent);
        }
        if (found < parts->size()) return ERROR_FILE_NOT_FOUND;
        if (!db.MayWrite()) return ERROR_ACCESS_DENIED;

        WriteScope write(store.transactions, db);
        target = Walk(write.S(), parent, *parts, found);
        if (found == 0) MustExist(&write.S(), parent);
        if (found < parts->size()) return ERROR_FILE_NOT_FOUND;
        if (ownContents) {
            store::DeleteValues(write.S(), target);
            store::DeleteSubkeys(write.S(), target);
        } else {
            if (IsRootId(target)) return ERROR_ACCESS_DENIED;
            // Windows refuses to delete a key that still has subkeys; the tree form takes them along.
            if (!tree && HasSubkeys(write.S(), target)) return ERROR_ACCESS_DENIED;
            store::DeleteKey(write.S(), target);  // the rest by cascade
        }
        write.Commit();
        return ERROR_SUCCESS;
    });
}

}  // namespace

LONG RunInStoreTransaction(const std::function<LONG()>& body) {
    if (memory::Active()) return memory::Transaction(body);
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    const LONG permitted = Guarded([](Store& s) -> LONG {
        return s.System().MayWrite() || s.User().MayWrite() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    });
    if (permitted != ERROR_SUCCESS) return permitted;
    Transactions& t = store.transactions;
    t.Begin();
    LONG result = ERROR_SUCCESS;
    try {
        result = body();
    } catch (...) {
        t.Abandon();
        throw;
    }
    const Transactions::Ended ended = t.End(result);
    if (ended.result != ERROR_SUCCESS) store.ForgetRolledBackKeys();
    if (ended.failedStore) store.DisconnectAll();
    return ended.result;
}

LONG RunInStoreSnapshot(HKEY hKey, const std::function<LONG()>& body) {
    if (memory::Active()) return body();
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    std::optional<Snapshot> snapshot;
    const LONG begun = Guarded([&](Store& s) -> LONG {
        Database& db = *KeyFor(s, hKey, 0, false).db;
        if (StatementCache* st = db.ForRead()) snapshot.emplace(db, *st);
        return ERROR_SUCCESS;
    });
    if (begun != ERROR_SUCCESS) return begun;
    const auto end = [&] {
        if (snapshot) Guarded([&](Store&) -> LONG { return snapshot->End(), ERROR_SUCCESS; });
    };
    LONG result = ERROR_SUCCESS;
    try {
        result = body();
    } catch (...) {
        end();
        throw;
    }
    end();
    return result;
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (memory::Active()) return memory::OpenKey(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (memory::Active()) return memory::OpenKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (memory::Active()) return memory::OpenKey(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    if (memory::Active()) return memory::OpenKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
}

LONG RegCloseKey(HKEY hKey) {
    if (memory::Active()) return memory::CloseKey(hKey);
    return Guarded([&](Store& store) -> LONG {
        if (RootId(hKey)) return ERROR_SUCCESS;
        return store.Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LONG RegFlushKey(HKEY hKey) {
    if (memory::Active()) return memory::FlushKey(hKey);
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, 0, true);
        StatementCache* s = key.db->ForRead();
        MustExist(s, key.id);
        key.db->Flush();
        return ERROR_SUCCESS;
    });
}

namespace {

template <typename Char>
LONG QueryValue(HKEY hKey, const Char* lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
    constexpr bool wide = sizeof(Char) == 2;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    if (memory::Active()) return memory::QueryValue(hKey, lpValueName, lpType, lpData, lpcbData);
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        StatementCache* s = key.db->ForRead();
        const std::string folded = ValueName(lpValueName);
        ReadCache* cache = s != nullptr ? key.db->Cache() : nullptr;
        const std::optional<ReadCache::Value>* known = cache ? cache->FindValue(key.id, folded) : nullptr;
        if (s != nullptr && known == nullptr) {
            std::optional<ReadCache::Value> value = ReadValue(*s, key.id, folded);
            if (value) {
                if (lpType != nullptr) *lpType = value->type;
                const LONG rc = CopyData(wide, value->type, value->utf16, value->data, lpData, lpcbData);
                if (cache != nullptr) cache->PutValue(key.id, folded, std::move(value));
                return rc;
            }
            if (cache != nullptr) cache->PutValue(key.id, folded, std::nullopt);
        } else if (known != nullptr && known->has_value()) {
            if (lpType != nullptr) *lpType = (*known)->type;
            return CopyData(wide, (*known)->type, (*known)->utf16, (*known)->data, lpData, lpcbData);
        }
        MustExist(s, key.id, cache);  // values go with their key: only a miss needs to look
        return ERROR_FILE_NOT_FOUND;
    });
}

template <typename Char>
LONG SetValue(HKEY hKey, const Char* lpValueName, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    constexpr bool wide = sizeof(Char) == 2;
    if (memory::Active()) return memory::SetValue(hKey, lpValueName, dwType, lpData, cbData);
    if (lpData == nullptr && cbData != 0) return 998L;  // ERROR_NOACCESS, as Windows answers
    if (lpValueName != nullptr && std::basic_string_view<Char>(lpValueName).size() > kMaxValueName)
        return ERROR_INVALID_PARAMETER;
    // What a W function is given for a string type is UTF-16, kept as given, odd bytes and all.
    std::string_view data(reinterpret_cast<const char*>(lpData), lpData == nullptr ? 0 : cbData);
    std::string room;
    const std::int64_t stored = wide ? StoredForm(dwType, data, room) : std::int64_t{dwType};
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_SET_VALUE, true);
        if (!key.db->MayWrite()) return ERROR_ACCESS_DENIED;
        const std::basic_string_view<Char> given = lpValueName ? lpValueName : std::basic_string_view<Char>();
        Name name;
        if constexpr (wide) name = NameFromUtf16(given);
        else name = NameFromAnsi(given);
        WriteScope write(store.transactions, *key.db);
        WriteValue(write.S(), key.id, name, stored, data);
        write.Commit();
        return ERROR_SUCCESS;
    });
}

template <typename Char>
LONG DeleteValue(HKEY hKey, const Char* lpValueName) {
    if (memory::Active()) return memory::DeleteValue(hKey, lpValueName);
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_SET_VALUE, true);
        StatementCache* s = key.db->ForRead();
        if (s == nullptr) {
            MustExist(s, key.id);
            return key.db->MayWrite() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        }
        if (!key.db->MayWrite()) return ERROR_ACCESS_DENIED;
        const std::string folded = ValueName(lpValueName);
        WriteScope write(store.transactions, *key.db);
        const bool deleted = store::DeleteValue(write.S(), key.id, folded);
        if (!deleted) MustExist(&write.S(), key.id);
        write.Commit();
        return deleted ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

template <typename Char>
LONG EnumKey(HKEY hKey, DWORD dwIndex, Char* lpName, LPDWORD lpcchName, LPDWORD lpReserved, Char* lpClass,
             LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (memory::Active()) {
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            *lpClass = Char();
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
        return memory::EnumKey(hKey, dwIndex, lpName, lpcchName);
    }
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_ENUMERATE_SUB_KEYS);
        const ListedRow* row = EnumerateAt(key, key.keys, dwIndex, false);
        if (row == nullptr) return ERROR_NO_MORE_ITEMS;
        const LONG rc = CopyName(row->name, lpName, lpcchName);
        if (rc != ERROR_SUCCESS) return rc;
        // The store keeps neither classes nor write times.
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            *lpClass = Char();
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

template <typename Char>
LONG EnumValue(HKEY hKey, DWORD dwIndex, Char* lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
               LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    if (memory::Active())
        return memory::EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        const ListedRow* row = EnumerateAt(key, key.values, dwIndex, true);
        if (row == nullptr) return ERROR_NO_MORE_ITEMS;
        const LONG rc = CopyName(row->name, lpValueName, lpcchValueName);
        if (rc != ERROR_SUCCESS) return rc;
        if (lpType != nullptr) *lpType = row->type;
        return CopyData(sizeof(Char) == 2, row->type, row->utf16, row->data, lpData, lpcbData);
    });
}

template <typename Char>
LONG QueryInfoKey(HKEY hKey, Char* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                  LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                  LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    constexpr bool wide = sizeof(Char) == 2;
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    const auto answer = [&] {
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) *lpClass = Char();
        if (lpcchClass != nullptr) *lpcchClass = 0;
        if (lpcSubKeys != nullptr) *lpcSubKeys = subKeys;
        if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = maxSubKey;
        if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
        if (lpcValues != nullptr) *lpcValues = values;
        if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = maxValueName;
        if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = maxValue;
        if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    };
    if (memory::Active()) {
        const LONG rc = memory::QueryInfo(hKey, wide, &subKeys, &maxSubKey, &values, &maxValueName, &maxValue);
        return rc != ERROR_SUCCESS ? rc : answer();
    }
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        StatementCache* s = key.db->ForRead();
        if (s != nullptr) {
            ReadScope read(*s);
            MustExist(s, key.id);
            const Longest keys = SubkeyCounts(*s, key.id);
            const Longest vals = ValueCounts(*s, key.id, wide);
            subKeys = keys.count;
            maxSubKey = keys.name;
            values = vals.count;
            maxValueName = vals.name;
            maxValue = vals.data;
        } else {
            MustExist(s, key.id);
        }
        return answer();
    });
}

}  // namespace

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    return QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    return QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return SetValue(hKey, lpValueName, dwType, lpData, cbData);
}
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return SetValue(hKey, lpValueName, dwType, lpData, cbData);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return DeleteValue(hKey, lpValueName);
}
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return DeleteValue(hKey, lpValueName);
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return EnumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return EnumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    return QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                        lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                      LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    return QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                        lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, true);
}
LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, true);
}
