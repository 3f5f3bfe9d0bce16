// Writes of a whole tree inside RunInStoreTransaction: the rows RegCreateKeyExW and RegSetValueExW
// would write, without a savepoint and a second lookup for each. A failure fails the transaction.
#include "handles.h"
#include "memory_registry.h"
#include "stored_text.h"

#include <map>

using namespace store;
using namespace handles;

namespace {

struct WaitingKeys;
WaitingKeys& Waiting();
bool BulkWritten(const OpenKey& key);

// KeyFor, without a look at the store file's identity (a stat each) for a handle of the tree being
// written in bulk: its transaction holds the file it began on, and a file put in its place meanwhile
// is noticed by the first call after the commit, as if it had come just after it.
OpenKey& TreeKeyFor(Store& store, HKEY hKey, REGSAM needed, bool exact = true) {
    OpenKey* key = store.Resolve(hKey);
    if (key != nullptr && BulkWritten(*key) && !RootId(hKey) && (key->access & needed) == needed) return *key;
    return KeyFor(store, hKey, needed, exact);
}

template <typename F>
LONG InTransaction(HKEY hKey, REGSAM needed, F&& body) {
    return Guarded([&](Store& store) -> LONG {
        if (!store.transactions.Open()) return ERROR_INVALID_PARAMETER;
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
            if (auto& at = synced[&db]; at != store.transactions.Begun()) {
                SyncHighestId(s);
                db.RoomForTree();
                at = store.transactions.Begun();
            }
            return body(store, key, s);
        } catch (const Failure& f) {
            // Half a write may stand inside the transaction: nothing of it may be kept.
            store.transactions.Fail(IsStoreFailure(f.code) ? f.code : ERROR_CANTWRITE);
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
// NOLINTNEXTLINE(bugprone-reserved-identifier): the copy the compiler writes for its arrays, not ours
struct WaitingKeys {
    Database* db = nullptr;  // the store whose tree is written, while one is
    std::uint64_t file = 0;  // the file of it that the tree's handles are for
    NewKey keys[kKeysAtOnce];
    Name names[kKeysAtOnce];  // their room kept from one batch to the next
    size_t count = 0;
};
WaitingKeys& Waiting() {
    static WaitingKeys waiting;
    return waiting;
}
// A handle of the file the tree is written to (one opened before that file was replaced is not).
bool BulkWritten(const OpenKey& key) {
    return key.db == Waiting().db && key.file == Waiting().file;
}

void WriteWaitingKeys(Store& store, StatementCache& s) {
    WaitingKeys& w = Waiting();
    const size_t count = w.count;
    w.count = 0;
    if (count > 1 && InsertAllKeys(s, std::span(w.keys, count))) return;
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
    if (memory::Active()) return memory::TreeCreateKey(hKey, name, phkResult);
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

LONG StoreTreeSetValues(std::span<const StoreTreeValue> values) {
    for (const StoreTreeValue& v : values)
        if ((v.data == nullptr && v.size != 0) || v.name.size() > kMaxValueName) return ERROR_INVALID_PARAMETER;
    if (values.empty()) return ERROR_SUCCESS;
    if (memory::Active()) {
        for (const StoreTreeValue& v : values)
            if (const LONG rc = memory::TreeSetValue(v.key, v.name, v.type, v.data, v.size); rc != ERROR_SUCCESS)
                return rc;
        return ERROR_SUCCESS;
    }
    return InTransaction(
        values.front().key, KEY_SET_VALUE, [&](Store& store, OpenKey& first, StatementCache& s) -> LONG {
            // Their keys first: a key may yet turn out to be another of the same name.
            if (Waiting().db == first.db) WriteWaitingKeys(store, s);
            // Their room kept from one call to the next.
            static Name names[kValuesAtOnce];
            static std::string rooms[kValuesAtOnce];
            static std::vector<KeyId> ids;
            ids.clear();
            for (const StoreTreeValue& v : values) {
                // InTransaction looked at the file; inside a write transaction even an inexact look is a
                // stat, but not for the tree's own handles.
                const OpenKey& key = TreeKeyFor(store, v.key, KEY_SET_VALUE, false);
                if (key.db != first.db) return ERROR_INVALID_PARAMETER;  // one store at a time
                ids.push_back(key.id);
            }
            ValueRow rows[kValuesAtOnce];
            for (size_t at = 0; at < values.size();) {
                const size_t count = values.size() - at >= kValuesAtOnce ? kValuesAtOnce : 1;
                for (size_t i = 0; i < count; ++i) {
                    const StoreTreeValue& v = values[at + i];
                    NameFromUtf16(v.name, names[i]);
                    std::string_view data(reinterpret_cast<const char*>(v.data), v.data == nullptr ? 0 : v.size);
                    const std::int64_t type = StoredForm(v.type, data, rooms[i]);
                    rows[i] = ValueRow{ids[at + i], &names[i], type, data};
                }
                WriteValues(s, std::span(rows, count));
                at += count;
            }
            return ERROR_SUCCESS;
        });
}

StoreTreeUnchecked::StoreTreeUnchecked(HKEY hKey) {
    if (memory::Active()) return;  // nothing waits: a key in memory is made at once
    Guarded([&](Store& store) -> LONG {
        if (!store.transactions.Open()) return ERROR_INVALID_PARAMETER;
        OpenKey& key = KeyFor(store, hKey, 0, true);
        key.db->CheckReferences(false);
        db_ = key.db;
        Waiting() = {};
        Waiting().db = key.db;
        Waiting().file = key.file;
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
