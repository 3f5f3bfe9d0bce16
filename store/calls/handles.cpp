#include "handles.h"

#include <cassert>
#include <limits>

#include <pthread.h>

namespace handles {

using namespace store;

std::optional<KeyId> RootId(HKEY hKey) {
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hKey));
    switch (value) {
        case 0x80000000u:
        case 0x80000001u:
        case 0x80000002u:
        case 0x80000003u:
        case 0x80000005u:
            return static_cast<KeyId>(value - 0x80000000u + 1);
        default:
            return std::nullopt;
    }
}

Store::Store() {
    Use(DefaultRegistryStorePath(), DefaultUserRegistryStorePath(), StoreAccess::AsPermitted, Trust::Checked);
    // No registry call, and no SQLite work of the background flush, may be under way in another
    // thread when the process forks: the child would inherit their locks held.
    pthread_atfork(
        [] {
            TheStore().mutex.lock();
            BeforeFork();
        },
        [] {
            AfterForkInParent();
            TheStore().mutex.unlock();
        },
        // The child's thread has another id, so it cannot unlock the parent's
        // lock: it starts with a fresh one. The connections are the parent's: its
        // locks on the files are not the child's.
        [] {
            AfterForkInChild();
            new (&TheStore().mutex) std::recursive_mutex;
            TheStore().Inherited();
        });
}

Store& Store::TheStore() {
    static Store store;
    return store;
}

void Store::Use(const std::string& systemPath, const std::string& userPath, StoreAccess access, Trust userTrust) {
    if (transactions.Open()) return;
    handles_.clear();
    for (OpenKey& root : roots_) root = OpenKey{};
    user_.reset();
    const Writes writes = access == StoreAccess::ReadOnly ? Writes::Never : Writes::AsPermitted;
    system_ = std::make_unique<Database>(systemPath, Database::Options{.writes = writes});
    if (userPath != systemPath)
        user_ = std::make_unique<Database>(
            userPath, Database::Options{.writes = writes, .owner = Owner::User, .trust = userTrust});
}

void Store::DisconnectAll() {
    system_->Disconnect();
    if (user_) user_->Disconnect();
}

void Store::Inherited() {
    system_->Inherited();
    if (user_) user_->Inherited();
}

OpenKey* Store::Resolve(HKEY hKey) {
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

HKEY Store::Add(Database* db, KeyId id, REGSAM access, std::uint64_t file) {
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;  // never reused, so a closed handle stays invalid
    handles_.emplace(value, OpenKey{db, id, access, file, {}, {}});
    return reinterpret_cast<HKEY>(value);
}

void Store::MoveHandles(const Database* db, const std::map<KeyId, KeyId>& moved) {
    for (auto& [value, key] : handles_)
        if (auto it = moved.find(key.id); key.db == db && it != moved.end()) key.id = it->second;
}

void Store::ForgetRolledBackKeys() {
    // Only keys made in the part rolled back: one deleted before it, in a transaction still open,
    // comes back if that one is rolled back too.
    std::map<const Database*, KeyId> highest;
    for (auto& [value, key] : handles_) {
        try {
            StatementCache* s = key.db->ForRead();
            if (s == nullptr) {
                if (!IsRootId(key.id)) key.id = kNoKey;
                continue;
            }
            auto [it, added] = highest.try_emplace(key.db, 0);
            if (added) it->second = HighestKeyId(*s);
            if (key.id > it->second) key.id = kNoKey;
        } catch (const Failure&) {
            // Unreadable now: later calls through the handle meet the same failure.
        }
    }
}

std::unique_ptr<Database> Store::Replace(const Database& which, std::unique_ptr<Database> by) {
    std::unique_ptr<Database>& slot = user_.get() == &which ? user_ : system_;
    assert(slot.get() == &which);
    slot.swap(by);
    return by;
}

void Store::Rehome(const Database* from, Database& to, bool sameFile) {
    std::uint64_t file = 0;
    try {
        file = to.File(true);
    } catch (const Failure&) {
        sameFile = false;  // no file to reach the keys in
    }
    for (auto& [value, key] : handles_) {
        if (key.db != from) continue;
        key.db = &to;
        key.file = file;
        if (!sameFile && !IsRootId(key.id)) key.id = kNoKey;  // the roots are in every store
        key.values = key.keys = Cursor{};
    }
}

OpenKey& KeyFor(Store& store, HKEY hKey, REGSAM needed, bool writing) {
    if (hKey == nullptr) throw Failure{ERROR_INVALID_HANDLE};
    OpenKey* key = store.Resolve(hKey);
    if (key == nullptr) throw Failure{ERROR_INVALID_HANDLE};
    if ((key->access & needed) != needed) throw Failure{ERROR_ACCESS_DENIED};
    const std::uint64_t file = key->db->File(writing);
    if (RootId(hKey)) key->file = file;  // the roots are in every file
    else if (key->file != file) throw Failure{ERROR_KEY_DELETED};
    return *key;
}

void MustExist(StatementCache* s, KeyId id, ReadCache* cache) {
    if (!(s == nullptr ? IsRootId(id) : KeyExists(*s, id, cache))) throw Failure{ERROR_KEY_DELETED};
}

bool IsStoreFailure(LONG code) {
    return code == ERROR_BADDB || code == ERROR_CANTREAD || code == ERROR_CANTWRITE || code == ERROR_BUSY;
}

// Asked for one after the other, each row is found from where the last one was, so listing a key
// is linear in its size.
const ListedRow* EnumerateAt(OpenKey& key, Cursor& cursor, DWORD index, bool values) {
    StatementCache* s = key.db->ForRead();
    if (s == nullptr) {
        MustExist(s, key.id);
        return nullptr;
    }
    ReadCache* cache = key.db->Cache();
    std::optional<ReadScope> read;
    std::int64_t version = 0;
    const std::uint64_t snapshot = key.db->SnapshotStamp();
    if (cache != nullptr) {
        version = -static_cast<std::int64_t>(cache->Generation());
    } else if (snapshot != 0) {
        // The rows read in a snapshot hold until it ends; stamped apart from every generation.
        version = std::numeric_limits<std::int64_t>::min() + static_cast<std::int64_t>(snapshot);
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
    // Without the cache or a snapshot nothing tells a later call that the store is unchanged but a
    // read: one row.
    const size_t batch = cache != nullptr || snapshot != 0 ? 256 : 1, batchBytes = 1 << 20;
    std::vector<ListedRow> rows;
    const std::string after = onward ? cursor.rows.back().folded : std::string();
    cursor.complete = ListRows(*s, key.id, values, onward ? &after : nullptr, index, batch, batchBytes, rows);
    cursor.first = index;
    cursor.rows = std::move(rows);
    cursor.version = version;
    if (cursor.rows.empty()) {
        MustExist(s, key.id, cache);
        return nullptr;
    }
    return &cursor.rows.front();
}

}  // namespace handles
