// The portable registry: Win32 registry calls answered from SQLite databases.
//
// Keys form a tree of rows; a key or value name keeps the spelling it was created with and is found
// through its case-folded form, as Windows compares names without regard to case. Names are held
// whole as UTF-8, as Windows holds them in UTF-16; value data are kept as the exact bytes given, the
// string types' data marked with the encoding they came in (ANSI through an A function, UTF-16
// through a W function). Each side of the API gets names and string data converted to its own
// encoding on the way out; an A function gets what Windows' A functions give for a character the
// code page lacks: its best-fit look-alike, else "?".
// The parts: store/statements (the statement cache), store/keys (key lookup and key ids),
// store/transactions (write transactions, RunInStoreTransaction's levels, consistent reads),
// store/database (a store file: connection, tables, waiting for other processes, durability).
// This file holds the handles and the registry functions.
#include "registry_store.h"

#include "store/database.h"
#include "store/keys.h"
#include "store/read_cache.h"
#include "store/statements.h"
#include "store/transactions.h"
#include "text.h"
#include "utf16.h"
#include "winapi.h"

#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef VERSIONINFO_STORE_PATH
#define VERSIONINFO_STORE_PATH "/var/lib/versioninfo/registry.db"
#endif

using namespace store;

namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

// Row id of a predefined root: its handle's low bits plus one.
std::optional<KeyId> RootId(HKEY hKey) {
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hKey));
    switch (value) {
        case 0x80000000u: case 0x80000001u: case 0x80000002u: case 0x80000003u: case 0x80000005u:
            return static_cast<KeyId>(value - 0x80000000u + 1);
        default:
            return std::nullopt;
    }
}
constexpr KeyId kCurrentUserId = 2;

// The rows an enumeration through a handle read last, from index `first` on, so that asking for the
// next index reads on from there instead of counting from the start. Valid while the store has not
// changed (`version`). With the read cache, rows are read in batches.
struct Row {
    std::string folded;
    std::string name;
    DWORD type = 0;
    std::string data;
    bool utf16 = false;
};
struct Cursor {
    DWORD first = 0;
    std::vector<Row> rows;
    bool complete = false;  // the rows reach the last one
    sqlite3_int64 version = 0;
};

// The id of no key: no row has it, so every call through a handle holding it answers that the key
// is gone.
constexpr KeyId kNoKey = 0;

struct OpenKey {
    Database* db;
    KeyId id;
    REGSAM access;
    std::uint64_t file;  // the store file it was opened on
    Cursor values;
    Cursor keys;
};

class Store {
public:
    // Recursive, so that a transaction can hold the store while its body makes registry calls.
    std::recursive_mutex mutex;
    Transactions transactions;

    Store() {
        Use(VERSIONINFO_STORE_PATH, DefaultUserRegistryStorePath(), StoreAccess::AsPermitted, true);
        // No registry call, and no SQLite work of the background flush, may be under way in another
        // thread when the process forks: the child would inherit their locks held.
        pthread_atfork([] { TheStore().mutex.lock(); BeforeFork(); },
                       [] { AfterForkInParent(); TheStore().mutex.unlock(); },
                       // The child's thread has another id, so it cannot unlock the parent's
                       // lock: it starts with a fresh one. The connections are the parent's: its
                       // locks on the files are not the child's.
                       [] {
                           AfterForkInChild();
                           new (&TheStore().mutex) std::recursive_mutex;
                           TheStore().Inherited();
                       });
    }
    static Store& TheStore();

    // `guarded`: the user's store is where the user's environment put it.
    void Use(const std::string& systemPath, const std::string& userPath, StoreAccess access, bool guarded = false) {
        if (transactions.depth > 0) return;
        handles_.clear();
        for (OpenKey& root : roots_) root = OpenKey{};
        user_.reset();
        system_ = std::make_unique<Database>(systemPath, access, false);
        if (userPath != systemPath) user_ = std::make_unique<Database>(userPath, access, true, guarded);
    }
    Database& System() { return *system_; }
    Database& User() { return user_ ? *user_ : *system_; }
    Database& ForRoot(KeyId root) { return root == kCurrentUserId ? User() : System(); }
    void DisconnectAll() {
        system_->Disconnect();
        if (user_) user_->Disconnect();
    }
    void Inherited() {
        system_->Inherited();
        if (user_) user_->Inherited();
    }

    // The key a handle names; roots are handles too.
    OpenKey* Resolve(HKEY hKey) {
        if (auto root = RootId(hKey)) {
            OpenKey& key = roots_[*root];
            key.db = &ForRoot(*root);
            key.id = *root;
            key.access = KEY_ALL_ACCESS;
            return &key;
        }
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
        return it == handles_.end() ? nullptr : &it->second;
    }
    HKEY Add(Database* db, KeyId id, REGSAM access, std::uint64_t file) {
        const std::uintptr_t value = nextHandle_;
        nextHandle_ += 4;  // never reused, so a closed handle stays invalid
        handles_.emplace(value, OpenKey{db, id, access, file, {}, {}});
        return reinterpret_cast<HKEY>(value);
    }
    bool Remove(HKEY hKey) { return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1; }
    // Handles to keys that turned out to be another key of the same name go to that key.
    void MoveHandles(const Database* db, const std::map<KeyId, KeyId>& moved) {
        for (auto& [value, key] : handles_)
            if (auto it = moved.find(key.id); key.db == db && it != moved.end()) key.id = it->second;
    }
    // A rollback takes back the keys it made, and their ids with them: another process may hand
    // such an id out again. Handles to those keys are told now that their key is gone, for good.
    void ForgetRolledBackKeys() {
        for (auto& [value, key] : handles_) {
            try {
                StatementCache* s = key.db->ForRead();
                if (!(s == nullptr ? IsRootId(key.id) : KeyExists(*s, key.id, nullptr))) key.id = kNoKey;
            } catch (const Failure&) {
                // Unreadable now: later calls through the handle meet the same failure.
            }
        }
    }

private:
    std::unique_ptr<Database> system_;
    std::unique_ptr<Database> user_;  // null while HKEY_CURRENT_USER shares the system store
    std::map<std::uintptr_t, OpenKey> handles_;
    OpenKey roots_[7]{};  // by root id, for their enumeration cursors
    std::uintptr_t nextHandle_ = 0x1000;
};

Store& Store::TheStore() {
    static Store store;
    return store;
}

// Checks the handle, the rights it was opened with, and that its store file is still the one at
// the store's path (a handle opened on a file since replaced reaches no key of the new one).
// Whether its key still exists is checked where an answer needs it.
OpenKey& KeyFor(Store& store, HKEY hKey, REGSAM needed) {
    if (hKey == nullptr) throw Failure{ERROR_INVALID_HANDLE};
    OpenKey* key = store.Resolve(hKey);
    if (key == nullptr) throw Failure{ERROR_INVALID_HANDLE};
    if ((key->access & needed) != needed) throw Failure{ERROR_ACCESS_DENIED};
    const std::uint64_t file = key->db->File();
    if (RootId(hKey)) key->file = file;  // the roots are in every file
    else if (key->file != file) throw Failure{ERROR_KEY_DELETED};
    return *key;
}

// The answer for a key found missing: a handle whose key is gone says so.
void MustExist(StatementCache* s, KeyId id, ReadCache* cache = nullptr) {
    if (!(s == nullptr ? IsRootId(id) : KeyExists(*s, id, cache))) throw Failure{ERROR_KEY_DELETED};
}

bool IsStoreFailure(LONG code) {
    return code == ERROR_BADDB || code == ERROR_CANTREAD || code == ERROR_CANTWRITE || code == ERROR_BUSY;
}

template <typename F>
LONG Guarded(F&& body) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    if (store.transactions.failure != ERROR_SUCCESS) return store.transactions.failure;
    try {
        return body(store);
    } catch (const Failure& f) {
        if (IsStoreFailure(f.code) && store.transactions.depth > 0) store.transactions.failure = f.code;
        // A locked store is no reason to reconnect; anything else may be a replaced file.
        else if (IsStoreFailure(f.code) && f.code != ERROR_BUSY) store.DisconnectAll();
        return f.code;
    } catch (const std::bad_alloc&) {
        return 14L;  // ERROR_OUTOFMEMORY
    } catch (const std::exception&) {
        return 1359L;  // ERROR_INTERNAL_ERROR: a registry call answers with a code, never throws
    }
}

// The string types' data written through a W function are UTF-16, marked so in the type column
// above its 32 bits. Rows without the mark, every row written before there were W functions among
// them, hold what an A function was given: ANSI bytes.
constexpr sqlite3_int64 kUtf16Data = sqlite3_int64{1} << 32;

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A name as each side of the API spells it: one unit (one ANSI byte) for each UTF-16 unit.
std::string Spelled(std::string_view text, char) {
    return IsAscii(text) ? std::string(text) : Utf16ToAnsi(Wtf8ToUtf16(text));
}
std::u16string Spelled(std::string_view text, char16_t) { return Wtf8ToUtf16(text); }

// Hands a name out in the caller's buffer of *cch characters, its NUL included; on success *cch is
// the length without the NUL. A buffer too small takes nothing and leaves *cch as it was.
template <typename Char>
LONG CopyName(std::string_view text, Char* buffer, LPDWORD cch) {
    const auto spelled = Spelled(text, Char());
    if (spelled.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::memcpy(buffer, spelled.data(), spelled.size() * sizeof(Char));
    buffer[spelled.size()] = Char();
    *cch = static_cast<DWORD>(spelled.size());
    return ERROR_SUCCESS;
}

// Hands data out as RegQueryValueExA does: the size alone without a buffer, ERROR_MORE_DATA and the
// size needed when the buffer is too small.
// UTF-16 text that Windows-1252 holds exactly is kept as ANSI bytes, half the size: both sides
// read it back as they gave it. Anything else (other characters, an odd byte) stays UTF-16, marked.
// Returns the type column's value and points `data` at the bytes to keep (in `room` when converted).
sqlite3_int64 StoredForm(DWORD type, std::string_view& data, std::string& room) {
    if (type == REG_LINK) return type | kUtf16Data;
    if (!IsStringType(type)) return type;
    if (data.size() % 2 != 0) return type | kUtf16Data;
    room.resize(data.size() / 2);
    bool ascii = true;
    for (size_t i = 0; i < room.size(); ++i) {
        const auto lo = static_cast<unsigned char>(data[2 * i]), hi = static_cast<unsigned char>(data[2 * i + 1]);
        ascii = ascii && hi == 0 && lo < 0x80;
        room[i] = static_cast<char>(lo);
    }
    if (!ascii) {
        const std::u16string units = UnitsFromBytes(data);
        room = Utf16ToAnsi(units);
        if (AnsiToUtf16(room) != units) return type | kUtf16Data;
    }
    data = room;
    return type;
}

LONG CopyData(std::string_view data, LPBYTE buffer, LPDWORD cb) {
    const auto size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        if (cb != nullptr) *cb = size;
        return ERROR_SUCCESS;
    }
    if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
    }
    if (size != 0) std::memcpy(buffer, data.data(), size);
    *cb = size;
    return ERROR_SUCCESS;
}

// The data as a caller on one side of the API reads them: the string types converted when they
// were stored from the other side. An odd last byte of UTF-16 is no character and goes.
LONG CopyData(bool wide, DWORD type, bool utf16, std::string_view data, LPBYTE buffer, LPDWORD cb) {
    if (!IsStringType(type) || wide == utf16) return CopyData(data, buffer, cb);
    if (wide) return CopyData(BytesFromUnits(AnsiToUtf16(data)), buffer, cb);
    return CopyData(Utf16ToAnsi(UnitsFromBytes(data)), buffer, cb);
}

std::string ValueName(LPCSTR lpValueName) {
    return lpValueName ? FoldedFromAnsi(lpValueName) : std::string();
}
std::string ValueName(LPCWSTR lpValueName) {
    return lpValueName ? NameFromUtf16(lpValueName).folded : std::string();
}

template <typename Char>
LONG OpenOrCreate(HKEY hKey, const Char* lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition,
                  bool create) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failed open leaves no handle behind
    return Guarded([&](Store& store) -> LONG {
        OpenKey& parentKey = KeyFor(store, hKey, 0);
        Database& db = *parentKey.db;
        const KeyId parent = parentKey.id;
        const REGSAM parentAccess = parentKey.access;
        const std::uint64_t file = parentKey.file;
        const auto parts = SplitPath(lpSubKey);
        if (!parts) return ERROR_BAD_PATHNAME;
        if ((samDesired & kWriteRights) != 0 && !db.MayWrite()) return ERROR_ACCESS_DENIED;

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
    return Guarded([&](Store& store) -> LONG {
        const bool ownContents = tree && (lpSubKey == nullptr || *lpSubKey == Char());
        const REGSAM needed = !tree ? 0 : KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (ownContents ? KEY_SET_VALUE : 0);
        OpenKey& key = KeyFor(store, hKey, needed);
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
            Query(write.S(), R"(DELETE FROM "values" WHERE key = ?)").Bind(1, target).Step();
            DeleteKeyRows(write.S(), "DELETE FROM keys WHERE parent = ?", target, target);
        } else {
            if (IsRootId(target)) return ERROR_ACCESS_DENIED;
            // Windows refuses to delete a key that still has subkeys; the tree form takes them along.
            if (!tree && Query(write.S(), "SELECT 1 FROM keys WHERE parent = ? LIMIT 1").Bind(1, target).Step())
                return ERROR_ACCESS_DENIED;
            DeleteKeyRows(write.S(), "DELETE FROM keys WHERE id = ?", target, target);  // the rest by cascade
        }
        write.Commit();
        return ERROR_SUCCESS;
    });
}

// The real user's home as the password database gives it ($HOME may be another user's, under sudo).
std::string HomeFolder() {
    passwd pw {};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        pw.pw_dir == nullptr)
        return {};
    return pw.pw_dir;
}

}  // namespace

LONG RunInStoreTransaction(const std::function<LONG()>& body) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    const LONG permitted = Guarded([](Store& s) -> LONG {
        return s.System().MayWrite() || s.User().MayWrite() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    });
    if (permitted != ERROR_SUCCESS) return permitted;
    Transactions& t = store.transactions;
    t.Enter();
    LONG result = ERROR_SUCCESS;
    try {
        result = body();
    } catch (...) {
        t.Abandon();
        if (t.depth == 0) t.failure = ERROR_SUCCESS;
        throw;
    }
    if (t.failure != ERROR_SUCCESS) result = t.failure;
    result = t.Leave(result);
    if (result != ERROR_SUCCESS) store.ForgetRolledBackKeys();
    if (t.depth == 0 && t.failure != ERROR_SUCCESS) {
        t.failure = ERROR_SUCCESS;
        store.DisconnectAll();
    }
    return result;
}

void UseRegistryStore(const std::string& path, StoreAccess access) { UseRegistryStore(path, path, access); }

void UseRegistryStore(const std::string& systemPath, const std::string& userPath, StoreAccess access) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    store.Use(systemPath, userPath, access);
}

void UseUsersOwnRegistryStore(const std::string& systemPath, StoreAccess access) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    store.Use(systemPath, DefaultUserRegistryStorePath(), access, true);
}

std::string UserRegistryStoreRefusal() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.User().Refusal();
}

std::string RegistryStorePath() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.System().Path();
}

std::string UserRegistryStorePath() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.User().Path();
}

std::string DefaultRegistryStorePath() { return VERSIONINFO_STORE_PATH; }

std::string DefaultUserRegistryStorePath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    const std::string base = data != nullptr && *data == '/' ? std::string(data) : HomeFolder() + "/.local/share";
    return base + "/versioninfo/registry.db";
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD /*dwOptions*/,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition, true);
}

LONG RegCloseKey(HKEY hKey) {
    return Guarded([&](Store& store) -> LONG {
        if (RootId(hKey)) return ERROR_SUCCESS;
        return store.Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LONG RegFlushKey(HKEY hKey) {
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, 0);
        StatementCache* s = key.db->ForRead();
        MustExist(s, key.id);
        key.db->Flush();
        return ERROR_SUCCESS;
    });
}


namespace {

// The row at `index` of a key's subkeys or values in name order, or nullptr after the last.
// Asked for one after the other, each is found from where the last one was, so listing a key is
// linear in its size.
const Row* EnumerateAt(OpenKey& key, Cursor& cursor, DWORD index, bool values) {
    StatementCache* s = key.db->ForRead();
    if (s == nullptr) {
        MustExist(s, key.id);
        return nullptr;
    }
    ReadCache* cache = key.db->Cache();
    std::optional<ReadScope> read;
    sqlite3_int64 version = 0;
    if (cache != nullptr) {
        version = -static_cast<sqlite3_int64>(cache->Generation());
    } else {
        read.emplace(*s);
        version = key.db->Version();
    }
    const bool current = cursor.version == version && index >= cursor.first;
    if (current && index < cursor.first + cursor.rows.size()) return &cursor.rows[index - cursor.first];
    if (current && cursor.complete) {
        MustExist(s, key.id, cache);  // a key deleted since still says so
        return nullptr;
    }

    const bool onward = current && index == cursor.first + cursor.rows.size() && !cursor.rows.empty();
    // Without the cache nothing tells a later call that the store is unchanged but a read: one row.
    const size_t batch = cache != nullptr ? 256 : 1, batchBytes = 1 << 20;
    const char* sql = values ? (onward ? R"(SELECT folded, name, type, data FROM "values" WHERE key = ?1 AND folded > ?2
                                           ORDER BY folded LIMIT ?3)"
                                       : R"(SELECT folded, name, type, data FROM "values" WHERE key = ?1
                                           ORDER BY folded LIMIT ?3 OFFSET ?2)")
                             : (onward ? "SELECT folded, name FROM keys WHERE parent = ?1 AND folded > ?2 "
                                         "ORDER BY folded LIMIT ?3"
                                       : "SELECT folded, name FROM keys WHERE parent = ?1 ORDER BY folded LIMIT ?3 OFFSET ?2");
    std::vector<Row> rows;
    {
        Query q(*s, sql);
        const std::string after = onward ? cursor.rows.back().folded : std::string();
        q.Bind(1, key.id).Bind(3, static_cast<sqlite3_int64>(batch));
        if (onward) q.Bind(2, after);
        else q.Bind(2, static_cast<sqlite3_int64>(index));
        size_t bytes = 0;
        while (rows.size() < batch && bytes < batchBytes && q.Step()) {
            Row row{std::string(q.Text(0)), std::string(q.Text(1)), 0, {}};
            if (values) {
                row.type = static_cast<DWORD>(q.Int(2));
                row.utf16 = (q.Int(2) & kUtf16Data) != 0;
                row.data = q.Blob(3);
            }
            bytes += row.data.size() + row.name.size();
            rows.push_back(std::move(row));
        }
        cursor.complete = rows.size() < batch && bytes < batchBytes;
    }
    cursor.first = index;
    cursor.rows = std::move(rows);
    cursor.version = version;
    if (cursor.rows.empty()) {
        MustExist(s, key.id, cache);
        return nullptr;
    }
    return &cursor.rows.front();
}


template <typename Char>
LONG QueryValue(HKEY hKey, const Char* lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
    constexpr bool wide = sizeof(Char) == 2;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        StatementCache* s = key.db->ForRead();
        const std::string folded = ValueName(lpValueName);
        ReadCache* cache = s != nullptr ? key.db->Cache() : nullptr;
        const std::optional<ReadCache::Value>* known = cache ? cache->FindValue(key.id, folded) : nullptr;
        if (s != nullptr && known == nullptr) {
            Query q(*s, R"(SELECT type, data FROM "values" WHERE key = ? AND folded = ?)");
            if (q.Bind(1, key.id).Bind(2, folded).Step()) {
                const auto type = static_cast<DWORD>(q.Int(0));
                const bool utf16 = (q.Int(0) & kUtf16Data) != 0;
                if (lpType != nullptr) *lpType = type;
                if (cache != nullptr) cache->PutValue(key.id, folded, ReadCache::Value{type, std::string(q.Blob(1)), utf16});
                return CopyData(wide, type, utf16, q.Blob(1), lpData, lpcbData);
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
    if (lpData == nullptr && cbData != 0) return 998L;  // ERROR_NOACCESS, as Windows answers
    if (lpValueName != nullptr && std::basic_string_view<Char>(lpValueName).size() > kMaxValueName)
        return ERROR_INVALID_PARAMETER;
    // What a W function is given for a string type is UTF-16, kept as given, odd bytes and all.
    std::string_view data(reinterpret_cast<const char*>(lpData), lpData == nullptr ? 0 : cbData);
    std::string room;
    const sqlite3_int64 stored = wide ? StoredForm(dwType, data, room) : sqlite3_int64{dwType};
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_SET_VALUE);
        if (!key.db->MayWrite()) return ERROR_ACCESS_DENIED;
        const std::basic_string_view<Char> given = lpValueName ? lpValueName : std::basic_string_view<Char>();
        Name name;
        if constexpr (wide) name = NameFromUtf16(given);
        else name = NameFromAnsi(given);
        WriteScope write(store.transactions, *key.db);
        // An existing value keeps the spelling of its name; a new one takes the caller's. A value
        // of a deleted key breaks its key reference: ERROR_KEY_DELETED.
        Query q(write.S(), R"(INSERT INTO "values" (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?)
                              ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data)");
        q.Bind(1, key.id).Bind(2, name.text).Bind(3, name.folded).Bind(4, stored);
        q.BindBlob(5, data.data(), data.size()).Step();
        write.Commit();
        return ERROR_SUCCESS;
    });
}

template <typename Char>
LONG DeleteValue(HKEY hKey, const Char* lpValueName) {
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_SET_VALUE);
        StatementCache* s = key.db->ForRead();
        if (s == nullptr) {
            MustExist(s, key.id);
            return key.db->MayWrite() ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        }
        if (!key.db->MayWrite()) return ERROR_ACCESS_DENIED;
        const std::string folded = ValueName(lpValueName);
        WriteScope write(store.transactions, *key.db);
        Query(write.S(), R"(DELETE FROM "values" WHERE key = ? AND folded = ?)").Bind(1, key.id).Bind(2, folded).Step();
        const bool deleted = sqlite3_changes(write.S().Db()) == 1;
        if (!deleted) MustExist(&write.S(), key.id);
        write.Commit();
        return deleted ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

template <typename Char>
LONG EnumKey(HKEY hKey, DWORD dwIndex, Char* lpName, LPDWORD lpcchName, LPDWORD lpReserved, Char* lpClass,
             LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_ENUMERATE_SUB_KEYS);
        const Row* row = EnumerateAt(key, key.keys, dwIndex, false);
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
LONG EnumValue(HKEY hKey, DWORD dwIndex, Char* lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
               LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        const Row* row = EnumerateAt(key, key.values, dwIndex, true);
        if (row == nullptr) return ERROR_NO_MORE_ITEMS;
        const LONG rc = CopyName(row->name, lpValueName, lpcchValueName);
        if (rc != ERROR_SUCCESS) return rc;
        if (lpType != nullptr) *lpType = row->type;
        return CopyData(sizeof(Char) == 2, row->type, row->utf16, row->data, lpData, lpcbData);
    });
}

// Counts, longest names and longest data of a key's subkeys or values: `sql` selects the count,
// the longest name in characters, whether a name holds a character beyond the BMP (pattern ?2)
// and, for values, the longest data. Lengths of names are in UTF-16 units, as both sides count
// them: SQLite counts a character beyond the BMP once, UTF-16 (and so the ANSI side) twice; only
// when there is such a name are the names read (`names`).
struct Longest {
    DWORD count = 0, name = 0, data = 0;
};
Longest CountAndLongest(StatementCache& s, std::string_view sql, std::string_view names, KeyId id) {
    static constexpr std::string_view kBeyondBmp = "*[\U00010000-\U0010FFFF]*";
    Longest out;
    bool beyond = false;
    {
        Query q(s, sql);
        q.Bind(1, id).Bind(2, kBeyondBmp).Step();
        out.count = static_cast<DWORD>(q.Int(0));
        out.name = static_cast<DWORD>(q.Int(1));
        beyond = q.Int(2) != 0;
        out.data = static_cast<DWORD>(q.Int(3));
    }
    if (!beyond) return out;
    Query b(s, names);
    b.Bind(1, id).Bind(2, kBeyondBmp);
    while (b.Step()) out.name = std::max(out.name, static_cast<DWORD>(Wtf8ToUtf16(b.Text(0)).size()));
    return out;
}

template <typename Char>
LONG QueryInfoKey(HKEY hKey, Char* lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                  LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                  LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    constexpr bool wide = sizeof(Char) == 2;
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        OpenKey& key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        StatementCache* s = key.db->ForRead();
        DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
        if (s != nullptr) {
            ReadScope read(*s);
            MustExist(s, key.id);
            // Name lengths in UTF-16 units, as both sides count them (an ANSI byte for each unit).
            const Longest keys = CountAndLongest(
                *s, "SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0), 0 "
                    "FROM keys WHERE parent = ?1",
                "SELECT name FROM keys WHERE parent = ?1 AND name GLOB ?2", key.id);
            // Data sizes as stored; the W side reads ANSI string data at two bytes a character.
            // (UTF-16 string data read on the ANSI side are never longer than stored.)
            const Longest vals = CountAndLongest(
                *s, wide ? R"(SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0),
                                     coalesce(max(CASE WHEN type IN (1, 2, 7) THEN 2 * length(data) ELSE length(data) END), 0)
                              FROM "values" WHERE key = ?1)"
                         : R"(SELECT count(*), coalesce(max(length(name)), 0), coalesce(max(name GLOB ?2), 0),
                                     coalesce(max(length(data)), 0) FROM "values" WHERE key = ?1)",
                R"(SELECT name FROM "values" WHERE key = ?1 AND name GLOB ?2)", key.id);
            subKeys = keys.count;
            maxSubKey = keys.name;
            values = vals.count;
            maxValueName = vals.name;
            maxValue = vals.data;
        } else {
            MustExist(s, key.id);
        }
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

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return SetValue(hKey, lpValueName, dwType, lpData, cbData);
}
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    return SetValue(hKey, lpValueName, dwType, lpData, cbData);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValue(hKey, lpValueName); }
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValue(hKey, lpValueName); }

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
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
    return QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                        lpcbMaxValueNameLen, lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
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

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKey(hKey, lpSubKey, true); }
LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteKey(hKey, lpSubKey, true); }

// Writes of a whole tree inside RunInStoreTransaction: the rows RegCreateKeyExW and RegSetValueExW
// would write, without a savepoint and a second lookup for each. A failure fails the transaction.
namespace {

struct WaitingKeys;
WaitingKeys& Waiting();
Database* BulkWritten();

// KeyFor, without a look at the store file's identity (a stat each) for a handle of the tree being
// written in bulk: its transaction holds the file it began on, and a file put in its place meanwhile
// is noticed by the first call after the commit, as if it had come just after it.
OpenKey& TreeKeyFor(Store& store, HKEY hKey, REGSAM needed) {
    OpenKey* key = store.Resolve(hKey);
    if (key != nullptr && key->db == BulkWritten() && !RootId(hKey) && (key->access & needed) == needed) return *key;
    return KeyFor(store, hKey, needed);
}

template <typename F>
LONG InTransaction(HKEY hKey, REGSAM needed, F&& body) {
    return Guarded([&](Store& store) -> LONG {
        if (store.transactions.depth == 0) return ERROR_INVALID_PARAMETER;
        OpenKey& key = TreeKeyFor(store, hKey, needed);
        Database& db = *key.db;
        if (!db.MayWrite()) return ERROR_ACCESS_DENIED;
        StatementCache& s = db.ForWrite();
        store.transactions.Join(db, s);
        db.Touched();
        try {
            // The highest id is read once in each transaction; from then on this process alone
            // makes keys in the file, and counts them.
            static std::map<const Database*, std::uint64_t> synced;
            if (auto& at = synced[&db]; at != store.transactions.begun) {
                SyncHighestId(s);
                // Room for the pages a tree of the size of a SYSTEM hive writes, so that none is
                // written out and read back before the commit.
                s.Exec("PRAGMA cache_size = -32768");
                at = store.transactions.begun;
            }
            return body(store, key, s);
        } catch (const Failure& f) {
            // Half a write may stand inside the transaction: nothing of it may be kept.
            store.transactions.failure = IsStoreFailure(f.code) ? f.code : ERROR_CANTWRITE;
            throw;
        }
    });
}

// The name of the row being written, its room kept from one call to the next (under the store's lock).
Name& TreeName() {
    static Name name;
    return name;
}

// Keys made while a StoreTreeUnchecked lives wait to be written kKeysAtOnce at a time: each has its
// id from the start, and the handle given out for it names it.
struct WaitingKeys {
    Database* db = nullptr;  // the store whose tree is written, while one is
    NewKey keys[kKeysAtOnce];
    Name names[kKeysAtOnce];  // their room kept from one batch to the next
    size_t count = 0;
};
WaitingKeys& Waiting() {
    static WaitingKeys waiting;
    return waiting;
}
Database* BulkWritten() { return Waiting().db; }

void WriteWaitingKeys(Store& store, StatementCache& s) {
    WaitingKeys& w = Waiting();
    const size_t count = w.count;
    w.count = 0;
    if (count > 1) {
        s.Exec("SAVEPOINT keys");
        if (InsertKeys(s, std::span(w.keys, count)) == count) {
            s.Exec("RELEASE keys");
            return;
        }
        s.Exec("ROLLBACK TO keys");
        s.Exec("RELEASE keys");
    }
    // One at a time: a hive may name two subkeys alike, and the second then opens the first, as
    // RegCreateKeyExW would, with what was made below it.
    std::map<KeyId, KeyId> moved;
    for (size_t i = 0; i < count; ++i) {
        NewKey key = w.keys[i];
        if (auto it = moved.find(key.parent); it != moved.end()) key.parent = it->second;
        if (InsertKeys(s, std::span(&key, 1)) == 1) continue;
        const auto found = FindChild(s, key.parent, key.name->folded);
        if (!found) throw Failure{ERROR_CANTWRITE};
        moved[key.id] = *found;
    }
    if (!moved.empty()) store.MoveHandles(w.db, moved);
}

}  // namespace

LONG StoreTreeCreateKey(HKEY hKey, std::u16string_view name, PHKEY phkResult) {
    if (phkResult == nullptr || name.empty() || name.size() > kMaxKeyName ||
        name.find(u'\\') != std::u16string_view::npos || name.find(u'\0') != std::u16string_view::npos)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return InTransaction(hKey, KEY_CREATE_SUB_KEY, [&](Store& store, OpenKey& parent, StatementCache& s) -> LONG {
        if (WaitingKeys& w = Waiting(); w.db == parent.db) {
            NameFromUtf16(name, w.names[w.count]);
            const KeyId id = TakeKeyId();
            w.keys[w.count] = NewKey{id, parent.id, &w.names[w.count]};
            ++w.count;
            *phkResult = store.Add(parent.db, id, KEY_ALL_ACCESS, parent.file);
            if (w.count == kKeysAtOnce) WriteWaitingKeys(store, s);
            return ERROR_SUCCESS;
        }
        Name& n = TreeName();
        NameFromUtf16(name, n);
        // A hive may name two subkeys alike: the second opens the first, as RegCreateKeyExW would.
        auto id = CreateNextChild(s, parent.id, n);
        if (!id) id = FindChild(s, parent.id, n.folded);
        if (!id) throw Failure{ERROR_CANTWRITE};
        *phkResult = store.Add(parent.db, *id, KEY_ALL_ACCESS, parent.file);
        return ERROR_SUCCESS;
    });
}

LONG StoreTreeSetValue(HKEY hKey, std::u16string_view name, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    const StoreTreeValue value{hKey, name, dwType, lpData, cbData};
    return StoreTreeSetValues(std::span(&value, 1));
}

namespace {

// The rows of so many values in one statement: each statement costs about what a row does.
constexpr size_t kValuesAtOnce = 16;

const std::string& InsertValues(size_t rows) {
    static const auto make = [](size_t n) {
        std::string sql = R"(INSERT INTO "values" (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?))";
        for (size_t i = 1; i < n; ++i) sql += ", (?, ?, ?, ?, ?)";
        // An existing value keeps the spelling of its name, as RegSetValueExW leaves it.
        return sql + " ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data";
    };
    static const std::string one = make(1), many = make(kValuesAtOnce);
    return rows == 1 ? one : many;
}

}  // namespace

LONG StoreTreeSetValues(std::span<const StoreTreeValue> values) {
    for (const StoreTreeValue& v : values)
        if ((v.data == nullptr && v.size != 0) || v.name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (values.empty()) return ERROR_SUCCESS;
    return InTransaction(values.front().key, KEY_SET_VALUE, [&](Store& store, OpenKey& first, StatementCache& s) -> LONG {
        // Their keys first: a key may yet turn out to be another of the same name.
        if (Waiting().db == first.db) WriteWaitingKeys(store, s);
        // Their room kept from one call to the next.
        static Name names[kValuesAtOnce];
        static std::string rooms[kValuesAtOnce];
        static std::vector<KeyId> ids;
        ids.clear();
        for (const StoreTreeValue& v : values) {
            const OpenKey& key = TreeKeyFor(store, v.key, KEY_SET_VALUE);
            if (key.db != first.db) return ERROR_INVALID_PARAMETER;  // one store at a time
            ids.push_back(key.id);
        }
        for (size_t at = 0; at < values.size();) {
            const size_t rows = values.size() - at >= kValuesAtOnce ? kValuesAtOnce : 1;
            Query q(s, InsertValues(rows));
            for (size_t i = 0; i < rows; ++i) {
                const StoreTreeValue& v = values[at + i];
                NameFromUtf16(v.name, names[i]);
                const int p = static_cast<int>(5 * i);
                q.Bind(p + 1, ids[at + i]).Bind(p + 2, names[i].text).Bind(p + 3, names[i].folded);
                std::string_view data(reinterpret_cast<const char*>(v.data), v.data == nullptr ? 0 : v.size);
                const sqlite3_int64 type = StoredForm(v.type, data, rooms[i]);
                q.Bind(p + 4, type).BindBlob(p + 5, data.data(), data.size());
            }
            q.Step();
            at += rows;
        }
        return ERROR_SUCCESS;
    });
}

StoreTreeUnchecked::StoreTreeUnchecked(HKEY hKey) {
    Guarded([&](Store& store) -> LONG {
        if (store.transactions.depth == 0) return ERROR_INVALID_PARAMETER;
        OpenKey& key = KeyFor(store, hKey, 0);
        key.db->CheckReferences(false);
        db_ = key.db;
        Waiting() = {};
        Waiting().db = key.db;
        return ERROR_SUCCESS;
    });
    hKey_ = hKey;
}

LONG StoreTreeUnchecked::Finish() {
    if (db_ == nullptr) return ERROR_SUCCESS;
    return InTransaction(hKey_, 0, [&](Store& store, OpenKey&, StatementCache& s) -> LONG {
        if (Waiting().db == db_) WriteWaitingKeys(store, s);
        return ERROR_SUCCESS;
    });
}

StoreTreeUnchecked::~StoreTreeUnchecked() {
    if (db_ == nullptr) return;
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    Waiting() = {};  // not written: the transaction fails
    static_cast<Database*>(db_)->CheckReferences(true);
}
