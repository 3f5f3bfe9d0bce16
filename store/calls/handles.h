#pragma once
// Handles and their state: the keys a process has open, the stores they are in, enumeration
// cursors, and the guard every registry call runs under (one lock, failures as answer codes).
#include "database.h"
#include "keys.h"
#include "registry_store.h"
#include "transactions.h"
#include "values.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace handles {

using store::Database;
using store::KeyId;

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;
constexpr KeyId kCurrentUserId = 2;
// The id of no key: no row has it, so every call through a handle holding it answers that the key
// is gone.
constexpr KeyId kNoKey = 0;

// Row id of a predefined root: its handle's low bits plus one.
std::optional<KeyId> RootId(HKEY hKey);

// The rows an enumeration through a handle read last, from index `first` on, so that asking for the
// next index reads on from there instead of counting from the start. Valid while the store has not
// changed (`version`). With the read cache, rows are read in batches.
struct Cursor {
    DWORD first = 0;
    std::vector<store::ListedRow> rows;
    bool complete = false;  // the rows reach the last one
    std::int64_t version = 0;
};

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
    store::Transactions transactions;

    Store();
    static Store& TheStore();

    // `userTrust`: Checked when the user's store is where the user's environment put it.
    void Use(const std::string& systemPath, const std::string& userPath, StoreAccess access,
             store::Trust userTrust = store::Trust::AsGiven);
    Database& System() { return *system_; }
    Database& User() { return user_ ? *user_ : *system_; }
    Database& ForRoot(KeyId root) { return root == kCurrentUserId ? User() : System(); }
    void DisconnectAll();
    void Inherited();

    // The key a handle names; roots are handles too.
    OpenKey* Resolve(HKEY hKey);
    HKEY Add(Database* db, KeyId id, REGSAM access, std::uint64_t file);
    bool Remove(HKEY hKey) { return handles_.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1; }
    // Handles to keys that turned out to be another key of the same name go to that key.
    void MoveHandles(const Database* db, const std::map<KeyId, KeyId>& moved);
    // A rollback takes back the keys it made, and their ids with them: another process may hand
    // such an id out again. Handles to those keys are told now that their key is gone, for good.
    void ForgetRolledBackKeys();
    // Puts `by` in the place of the store `which` (for every root it holds), and returns `which`.
    std::unique_ptr<Database> Replace(const Database& which, std::unique_ptr<Database> by);
    // Handles opened on `from` go to `to`: to the same keys when `to` is now the same file (a
    // store built and put in place), else to none but the roots.
    void Rehome(const Database* from, Database& to, bool sameFile);

private:
    std::unique_ptr<Database> system_;
    std::unique_ptr<Database> user_;  // null while HKEY_CURRENT_USER shares the system store
    std::map<std::uintptr_t, OpenKey> handles_;
    OpenKey roots_[7]{};  // by root id, for their enumeration cursors
    std::uintptr_t nextHandle_ = 0x1000;
};

// Checks the handle, the rights it was opened with, and that its store file is still the one at
// the store's path (a handle opened on a file since replaced reaches no key of the new one): before
// a write at once, before a read as Database::File bounds it. Whether its key still exists is
// checked where an answer needs it.
OpenKey& KeyFor(Store& store, HKEY hKey, REGSAM needed, bool writing = false);

// The answer for a key found missing: a handle whose key is gone says so.
void MustExist(store::StatementCache* s, KeyId id, store::ReadCache* cache = nullptr);

bool IsStoreFailure(LONG code);

// The row at `index` of a key's subkeys or values in name order, or nullptr after the last.
const store::ListedRow* EnumerateAt(OpenKey& key, Cursor& cursor, DWORD index, bool values);

// Runs a registry call's body under the store's lock; a failure becomes its answer code.
template <typename F>
LONG Guarded(F&& body) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    if (const LONG failed = store.transactions.Failed(); failed != ERROR_SUCCESS) return failed;
    try {
        return body(store);
    } catch (const store::Failure& f) {
        if (IsStoreFailure(f.code) && store.transactions.Open()) store.transactions.Fail(f.code);
        // A locked store is no reason to reconnect; anything else may be a replaced file.
        else if (IsStoreFailure(f.code) && f.code != ERROR_BUSY) store.DisconnectAll();
        return f.code;
    } catch (const std::bad_alloc&) {
        return 14L;  // ERROR_OUTOFMEMORY
    } catch (const std::exception&) {
        return 1359L;  // ERROR_INTERNAL_ERROR: a registry call answers with a code, never throws
    }
}

}  // namespace handles
