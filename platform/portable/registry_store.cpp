// The portable registry: Win32 registry calls answered from a SQLite database.
//
// Keys form a tree of rows; a key or value name keeps the spelling it was created with and is found
// through its case-folded form, as Windows compares names without regard to case. Names are held as
// UTF-8 and cross the API in the ANSI code page; value data are kept as the exact bytes given.
// Every write is one SQLite transaction in rollback-journal mode with full sync, so a crash never
// leaves half a write and other processes see either all of it or none. RunInStoreTransaction widens
// that to many calls: inside it the calls' own transactions become savepoints.
#include "registry_store.h"

#include "text.h"
#include "winapi.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#ifndef VERSIONINFO_STORE_PATH
#define VERSIONINFO_STORE_PATH "/var/lib/versioninfo/registry.db"
#endif

namespace {

constexpr int kSchemaVersion = 1;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys (
    id     INTEGER PRIMARY KEY,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    UNIQUE (parent, folded)
);
CREATE TABLE IF NOT EXISTS "values" (
    key    INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    type   INTEGER NOT NULL,
    data   BLOB NOT NULL,
    PRIMARY KEY (key, folded)
) WITHOUT ROWID;
INSERT OR IGNORE INTO keys (id, parent, name, folded) VALUES
    (1, NULL, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),
    (2, NULL, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
    (3, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
    (4, NULL, 'HKEY_USERS', 'HKEY_USERS'),
    (6, NULL, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG');
)sql";

// Row id of a predefined root: its handle's low bits plus one.
std::optional<sqlite3_int64> RootId(HKEY hKey) {
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hKey));
    switch (value) {
        case 0x80000000u: case 0x80000001u: case 0x80000002u: case 0x80000003u: case 0x80000005u:
            return static_cast<sqlite3_int64>(value - 0x80000000u + 1);
        default:
            return std::nullopt;
    }
}

// Names are compared in their folded form, the same in every process whatever its locale.
std::string Fold(std::string_view utf8) { return FoldCase(utf8); }

struct Failure {
    LONG code;
};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) throw Failure{ErrorOf(db)};
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int i, sqlite3_int64 v) { sqlite3_bind_int64(stmt_, i, v); return *this; }
    Statement& Bind(int i, std::string_view s) {
        sqlite3_bind_text(stmt_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const void* p, size_t n) {
        // A zero-length blob still binds as a blob, never as NULL.
        static const char empty = 0;
        sqlite3_bind_blob(stmt_, i, n ? p : &empty, static_cast<int>(n), SQLITE_TRANSIENT);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw Failure{ErrorOf(db_)};
    }
    sqlite3_int64 Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    std::string Blob(int col) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }

    static LONG ErrorOf(sqlite3* db) {
        switch (sqlite3_errcode(db) & 0xFF) {
            case SQLITE_CORRUPT: case SQLITE_NOTADB: case SQLITE_SCHEMA: case SQLITE_ERROR: return ERROR_BADDB;
            case SQLITE_READONLY: case SQLITE_FULL: case SQLITE_PERM: return ERROR_CANTWRITE;
            default: return ERROR_CANTREAD;
        }
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

struct OpenKey {
    sqlite3_int64 id;
    REGSAM access;
};

class Store {
public:
    // Recursive, so that a transaction can hold the store while its body makes registry calls.
    std::recursive_mutex mutex;

    // An open RunInStoreTransaction. After a store failure inside it, every later call fails the
    // same way: SQLite may have rolled the whole transaction back, and a write now would commit alone.
    int transactionDepth = 0;
    LONG transactionFailure = ERROR_SUCCESS;

    void Use(const std::string& path, StoreAccess access) {
        if (transactionDepth > 0) return;
        Disconnect();
        path_ = path;
        access_ = access;
        handles_.clear();
    }
    const std::string& Path() const { return path_; }

    // The open connection, or nullptr while the store file does not exist: an empty store.
    sqlite3* Db() {
        // Another process may have made the file since we last looked.
        if (!connected_ || (db_ == nullptr && access(path_.c_str(), F_OK) == 0)) Connect();
        return db_;
    }
    // The connection for a write; the first write makes the store file. Reading alone never does,
    // so a program that only looks leaves no file behind.
    sqlite3* DbForWrite() {
        if (Db() == nullptr && writable_) Connect(true);
        if (db_ == nullptr) throw Failure{ERROR_ACCESS_DENIED};
        return db_;
    }
    bool Writable() {
        if (!connected_) Connect();
        return writable_;
    }
    // After a failure the file may have been replaced or repaired: start afresh on the next call.
    void Disconnect() {
        if (db_ != nullptr) sqlite3_close_v2(db_);
        db_ = nullptr;
        connected_ = false;
    }

    std::optional<OpenKey> Resolve(HKEY hKey) {
        if (auto root = RootId(hKey)) return OpenKey{*root, KEY_ALL_ACCESS};
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
        if (it == handles_.end()) return std::nullopt;
        return it->second;
    }
    HKEY Add(OpenKey key) {
        const std::uintptr_t value = nextHandle_;
        nextHandle_ += 4;  // never reused, so a closed handle stays invalid
        handles_[value] = key;
        return reinterpret_cast<HKEY>(value);
    }
    bool Remove(HKEY hKey) { return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1; }

private:
    void Connect(bool create = false) {
        Disconnect();
        connected_ = true;
        writable_ = false;
        const std::string dir = DirectoryOf(path_);
        const bool exists = access(path_.c_str(), F_OK) == 0;
        const bool mayWrite = access_ == StoreAccess::AsPermitted && access(dir.c_str(), W_OK) == 0 &&
                              (!exists || access(path_.c_str(), W_OK) == 0);
        if (!exists && !create) {  // an empty store, until the first write
            writable_ = mayWrite;
            return;
        }

        const int flags = mayWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
        if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            const LONG code = Statement::ErrorOf(db_);
            Disconnect();
            throw Failure{code};
        }
        sqlite3_busy_timeout(db_, 10000);
        sqlite3_extended_result_codes(db_, 0);
        try {
            Exec("PRAGMA foreign_keys = ON");
            Exec("PRAGMA synchronous = FULL");
            Statement version(db_, "PRAGMA user_version");
            version.Step();
            const auto schema = version.Int(0);
            if (schema > kSchemaVersion) throw Failure{ERROR_BADDB};
            if (schema == 0 && mayWrite) {
                Exec("BEGIN IMMEDIATE");
                try {
                    Exec(kSchema);
                    Exec("PRAGMA user_version = 1");
                    Exec("COMMIT");
                } catch (...) {
                    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                    throw;
                }
            } else if (schema == 0) {
                // A read-only file without our tables: empty, unless it is not a database at all,
                // which the query above has already reported.
                Disconnect();
                connected_ = true;
                return;
            }
        } catch (const Failure&) {
            Disconnect();
            throw;
        }
        writable_ = mayWrite;
    }
    void Exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw Failure{Statement::ErrorOf(db_)};
    }
    static std::string DirectoryOf(const std::string& path) {
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos) return ".";
        return slash == 0 ? "/" : path.substr(0, slash);
    }

    std::string path_ = VERSIONINFO_STORE_PATH;
    StoreAccess access_ = StoreAccess::AsPermitted;
    sqlite3* db_ = nullptr;
    bool connected_ = false;
    bool writable_ = false;
    std::map<std::uintptr_t, OpenKey> handles_;
    std::uintptr_t nextHandle_ = 0x1000;
};

Store& TheStore() {
    static Store store;
    return store;
}

// Longest ANSI key path the A functions take (it is converted in a MAX_PATH buffer), and longest
// key name.
constexpr size_t kMaxAnsiPath = 260;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

// Splits a key path at its backslashes. As in Windows, a run of backslashes separates like one and
// a trailing one is allowed, but a path that starts with one is not a path below the key.
std::optional<std::vector<std::string>> SplitPath(LPCSTR lpSubKey) {
    std::vector<std::string> parts;
    if (lpSubKey == nullptr || *lpSubKey == '\0') return parts;
    std::string_view rest(lpSubKey);
    if (rest.size() > kMaxAnsiPath) throw Failure{ERROR_MORE_DATA};
    if (rest.front() == '\\') return std::nullopt;
    while (!rest.empty()) {
        const auto slash = rest.find('\\');
        std::string_view part = rest.substr(0, slash);
        if (part.size() > kMaxKeyName) throw Failure{ERROR_INVALID_PARAMETER};
        if (!part.empty()) parts.emplace_back(AnsiToText(part));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return parts;
}

bool KeyExists(sqlite3* db, sqlite3_int64 id) {
    if (db == nullptr) return id <= 6;  // the roots of an empty store
    Statement s(db, "SELECT 1 FROM keys WHERE id = ?");
    return s.Bind(1, id).Step();
}

std::optional<sqlite3_int64> FindChild(sqlite3* db, sqlite3_int64 parent, const std::string& name) {
    if (db == nullptr) return std::nullopt;
    Statement s(db, "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    if (!s.Bind(1, parent).Bind(2, Fold(name)).Step()) return std::nullopt;
    return s.Int(0);
}

// Checks the handle and the rights it was opened with; returns the key it names.
sqlite3_int64 KeyFor(Store& store, HKEY hKey, REGSAM needed) {
    if (hKey == nullptr) throw Failure{ERROR_INVALID_HANDLE};
    const auto key = store.Resolve(hKey);
    if (!key) throw Failure{ERROR_INVALID_HANDLE};
    if ((key->access & needed) != needed) throw Failure{ERROR_ACCESS_DENIED};
    if (!KeyExists(store.Db(), key->id)) throw Failure{ERROR_KEY_DELETED};
    return key->id;
}

std::string ValueName(LPCSTR lpValueName) { return lpValueName ? AnsiToText(lpValueName) : std::string(); }

template <typename F>
LONG Guarded(F&& body) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (store.transactionFailure != ERROR_SUCCESS) return store.transactionFailure;
    try {
        return body(store);
    } catch (const Failure& f) {
        const bool storeFailed = f.code == ERROR_BADDB || f.code == ERROR_CANTREAD || f.code == ERROR_CANTWRITE;
        if (storeFailed && store.transactionDepth > 0) store.transactionFailure = f.code;
        else if (storeFailed) store.Disconnect();
        return f.code;
    } catch (const std::bad_alloc&) {
        return 14L;  // ERROR_OUTOFMEMORY
    } catch (const std::exception&) {
        return 1359L;  // ERROR_INTERNAL_ERROR: a registry call answers with a code, never throws
    }
}

// A write of several statements: a transaction of its own, or a savepoint inside one already open.
struct Transaction {
    explicit Transaction(sqlite3* db) : db(db), nested(sqlite3_get_autocommit(db) == 0) {
        Exec(nested ? "SAVEPOINT write" : "BEGIN IMMEDIATE");
    }
    void Commit() {
        Exec(nested ? "RELEASE write" : "COMMIT");
        done = true;
    }
    ~Transaction() {
        if (done) return;
        if (nested) sqlite3_exec(db, "ROLLBACK TO write; RELEASE write", nullptr, nullptr, nullptr);
        else sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Exec(const char* sql) {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw Failure{Statement::ErrorOf(db)};
    }
    sqlite3* db;
    bool nested;
    bool done = false;
};

LONG OpenOrCreate(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult, LPDWORD lpdwDisposition,
                  bool create) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failed open leaves no handle behind
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 parent = KeyFor(store, hKey, 0);
        const auto parts = SplitPath(lpSubKey);
        if (!parts) return ERROR_BAD_PATHNAME;
        if ((samDesired & kWriteRights) != 0 && !store.Writable()) return ERROR_ACCESS_DENIED;

        sqlite3* db = store.Db();
        sqlite3_int64 id = parent;
        size_t found = 0;
        for (; found < parts->size(); ++found) {
            const auto child = FindChild(db, id, (*parts)[found]);
            if (!child) break;
            id = *child;
        }
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        if (found < parts->size()) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            if (!store.Writable()) return ERROR_ACCESS_DENIED;
            db = store.DbForWrite();
            const auto parentKey = store.Resolve(hKey);
            if (!RootId(hKey) && (parentKey->access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
            // Walk again inside the transaction: another process may have made part of the path.
            Transaction tx(db);
            id = parent;
            for (const auto& part : *parts) {
                if (auto child = FindChild(db, id, part)) {
                    id = *child;
                    continue;
                }
                Statement insert(db, "INSERT INTO keys (parent, name, folded) VALUES (?, ?, ?)");
                insert.Bind(1, id).Bind(2, part).Bind(3, Fold(part)).Step();
                id = sqlite3_last_insert_rowid(db);
                disposition = REG_CREATED_NEW_KEY;
            }
            tx.Commit();
        }
        *phkResult = store.Add(OpenKey{id, samDesired});
        if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
        return ERROR_SUCCESS;
    });
}

// Hands a name out in the caller's buffer of *cch characters, its NUL included; on success *cch is
// the length without the NUL. A buffer too small takes nothing and leaves *cch as it was.
LONG CopyName(const std::string& ansi, LPSTR buffer, LPDWORD cch) {
    if (ansi.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::memcpy(buffer, ansi.data(), ansi.size());
    buffer[ansi.size()] = '\0';
    *cch = static_cast<DWORD>(ansi.size());
    return ERROR_SUCCESS;
}

// Hands data out as RegQueryValueExA does: the size alone without a buffer, ERROR_MORE_DATA and the
// size needed when the buffer is too small.
LONG CopyData(const std::string& data, LPBYTE buffer, LPDWORD cb) {
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

// The key `lpSubKey` names below `parent`, or nullopt when it does not exist.
std::optional<sqlite3_int64> Walk(sqlite3* db, sqlite3_int64 parent, const std::vector<std::string>& parts) {
    sqlite3_int64 id = parent;
    for (const auto& part : parts) {
        const auto child = FindChild(db, id, part);
        if (!child) return std::nullopt;
        id = *child;
    }
    return id;
}

bool IsRootId(sqlite3_int64 id) { return id <= 6; }

LONG DeleteKey(HKEY hKey, LPCSTR lpSubKey, bool tree) {
    return Guarded([&](Store& store) -> LONG {
        const bool ownContents = tree && (lpSubKey == nullptr || *lpSubKey == '\0');
        const REGSAM needed = !tree ? 0 : KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (ownContents ? KEY_SET_VALUE : 0);
        const sqlite3_int64 parent = KeyFor(store, hKey, needed);
        const auto parts = SplitPath(lpSubKey);
        if (!parts) return ERROR_BAD_PATHNAME;
        sqlite3* db = store.Db();
        if (db == nullptr) return parts->empty() ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        const auto target = Walk(db, parent, *parts);
        if (!target) return ERROR_FILE_NOT_FOUND;
        if (!store.Writable()) return ERROR_ACCESS_DENIED;

        if (ownContents) {
            Transaction tx(db);
            Statement(db, R"(DELETE FROM "values" WHERE key = ?)").Bind(1, *target).Step();
            Statement(db, "DELETE FROM keys WHERE parent = ?").Bind(1, *target).Step();
            tx.Commit();
            return ERROR_SUCCESS;
        }
        if (IsRootId(*target)) return ERROR_ACCESS_DENIED;
        // Windows refuses to delete a key that still has subkeys; the tree form takes them along.
        if (!tree && Statement(db, "SELECT 1 FROM keys WHERE parent = ?").Bind(1, *target).Step())
            return ERROR_ACCESS_DENIED;
        Statement(db, "DELETE FROM keys WHERE id = ?").Bind(1, *target).Step();  // the rest by cascade
        return ERROR_SUCCESS;
    });
}

}  // namespace

LONG RunInStoreTransaction(const std::function<LONG()>& body) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    sqlite3* db = nullptr;
    const LONG opened = Guarded([&](Store& s) -> LONG {
        if (!s.Writable()) return ERROR_ACCESS_DENIED;
        db = s.DbForWrite();
        return ERROR_SUCCESS;
    });
    if (opened != ERROR_SUCCESS) return opened;
    const bool nested = store.transactionDepth > 0;
    if (sqlite3_exec(db, nested ? "SAVEPOINT outer" : "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const LONG code = Statement::ErrorOf(db);
        if (!nested) store.Disconnect();
        return code;
    }
    ++store.transactionDepth;
    LONG result = ERROR_SUCCESS;
    try {
        result = body();
    } catch (...) {
        --store.transactionDepth;
        sqlite3_exec(db, nested ? "ROLLBACK TO outer; RELEASE outer" : "ROLLBACK", nullptr, nullptr, nullptr);
        if (!nested) store.transactionFailure = ERROR_SUCCESS;
        throw;
    }
    --store.transactionDepth;
    if (store.transactionFailure != ERROR_SUCCESS) result = store.transactionFailure;
    if (result == ERROR_SUCCESS &&
        sqlite3_exec(db, nested ? "RELEASE outer" : "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        result = Statement::ErrorOf(db);
    if (result != ERROR_SUCCESS)
        sqlite3_exec(db, nested ? "ROLLBACK TO outer; RELEASE outer" : "ROLLBACK", nullptr, nullptr, nullptr);
    if (!nested && store.transactionFailure != ERROR_SUCCESS) {
        store.transactionFailure = ERROR_SUCCESS;
        store.Disconnect();
    }
    return result;
}

void UseRegistryStore(const std::string& path, StoreAccess access) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    store.Use(path, access);
}

std::string RegistryStorePath() {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    return store.Path();
}

std::string DefaultRegistryStorePath() { return VERSIONINFO_STORE_PATH; }

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    return OpenOrCreate(hKey, lpSubKey, samDesired, phkResult, nullptr, false);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
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

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        sqlite3* db = store.Db();
        if (db == nullptr) return ERROR_FILE_NOT_FOUND;
        Statement s(db, R"(SELECT type, data FROM "values" WHERE key = ? AND folded = ?)");
        if (!s.Bind(1, key).Bind(2, Fold(ValueName(lpValueName))).Step()) return ERROR_FILE_NOT_FOUND;
        const auto type = static_cast<DWORD>(s.Int(0));
        if (lpType != nullptr) *lpType = type;
        return CopyData(s.Blob(1), lpData, lpcbData);
    });
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return 998L;  // ERROR_NOACCESS, as Windows answers
    if (lpValueName != nullptr && std::strlen(lpValueName) > kMaxValueName) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_SET_VALUE);
        if (!store.Writable()) return ERROR_ACCESS_DENIED;
        sqlite3* db = store.DbForWrite();
        const std::string name = ValueName(lpValueName);
        // An existing value keeps the spelling of its name; a new one takes the caller's.
        Statement s(db, R"(INSERT INTO "values" (key, name, folded, type, data) VALUES (?, ?, ?, ?, ?)
                           ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data)");
        s.Bind(1, key).Bind(2, name).Bind(3, Fold(name)).Bind(4, static_cast<sqlite3_int64>(dwType));
        s.BindBlob(5, lpData, cbData).Step();
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_SET_VALUE);
        if (!store.Writable()) return ERROR_ACCESS_DENIED;
        sqlite3* db = store.Db();
        if (db == nullptr) return ERROR_FILE_NOT_FOUND;
        Statement s(db, R"(DELETE FROM "values" WHERE key = ? AND folded = ?)");
        s.Bind(1, key).Bind(2, Fold(ValueName(lpValueName))).Step();
        return sqlite3_changes(db) == 1 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_ENUMERATE_SUB_KEYS);
        sqlite3* db = store.Db();
        if (db == nullptr) return ERROR_NO_MORE_ITEMS;
        Statement s(db, "SELECT name FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
        if (!s.Bind(1, key).Bind(2, static_cast<sqlite3_int64>(dwIndex)).Step()) return ERROR_NO_MORE_ITEMS;
        const LONG rc = CopyName(TextToAnsi(s.Text(0)), lpName, lpcchName);
        if (rc != ERROR_SUCCESS) return rc;
        // The store keeps neither classes nor write times.
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            *lpClass = '\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
        return ERROR_SUCCESS;
    });
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        sqlite3* db = store.Db();
        if (db == nullptr) return ERROR_NO_MORE_ITEMS;
        Statement s(db, R"(SELECT name, type, data FROM "values" WHERE key = ? ORDER BY folded LIMIT 1 OFFSET ?)");
        if (!s.Bind(1, key).Bind(2, static_cast<sqlite3_int64>(dwIndex)).Step()) return ERROR_NO_MORE_ITEMS;
        const LONG rc = CopyName(TextToAnsi(s.Text(0)), lpValueName, lpcchValueName);
        if (rc != ERROR_SUCCESS) return rc;
        if (lpType != nullptr) *lpType = static_cast<DWORD>(s.Int(1));
        return CopyData(s.Blob(2), lpData, lpcbData);
    });
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&](Store& store) -> LONG {
        const sqlite3_int64 key = KeyFor(store, hKey, KEY_QUERY_VALUE);
        sqlite3* db = store.Db();
        DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
        if (db != nullptr) {
            // Lengths are counted in the ANSI code page, as the caller's buffers are.
            Statement k(db, "SELECT name FROM keys WHERE parent = ?");
            for (k.Bind(1, key); k.Step(); ++subKeys)
                maxSubKey = std::max(maxSubKey, static_cast<DWORD>(TextToAnsi(k.Text(0)).size()));
            Statement v(db, R"(SELECT name, length(data) FROM "values" WHERE key = ?)");
            for (v.Bind(1, key); v.Step(); ++values) {
                maxValueName = std::max(maxValueName, static_cast<DWORD>(TextToAnsi(v.Text(0)).size()));
                maxValue = std::max(maxValue, static_cast<DWORD>(v.Int(1)));
            }
        }
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) *lpClass = '\0';
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

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKey(hKey, lpSubKey, true); }
