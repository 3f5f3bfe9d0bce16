#pragma once
// Answers already read from a store file, kept while the file is unchanged. In WAL mode every
// commit, by any process, changes the log's index header, and no process writes the store without
// that index. Comparing that header costs no system call, where asking SQLite costs a lock and an
// unlock of the index. The header is watched where SQLite maps it for this process's connection,
// or, for a reader who may not write the index (SQLite then keeps one in its own memory), through a
// read-only mapping of the index file's first page: a writer that comes along makes the index again
// there, which changes the header. A reader without an index file watches nothing; its kept answers
// hold as long as Database::File finds no log files made again. A file replaced at the store's
// path is noticed by Database::File, at the latest kFileCheckBound after the last look.
#include "keys.h"

struct sqlite3;

#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace store {

class ReadCache {
public:
    struct Value {
        DWORD type;
        std::string data;
        bool utf16 = false;  // string data written through a W function
    };

    // Watches the log index of `db`'s connection, or the index file `index` when SQLite maps none
    // for it; `unwatched`: there is no index file, and answers are kept all the same. Tried once
    // for each connection: without an index to watch (not in WAL mode) nothing is kept.
    void Attach(sqlite3* db, const std::string& index, bool unwatched);
    // Forgets the answers and lets go of the index; after the connection has closed.
    void Detach();
    bool Attached() const { return header_ != nullptr; }
    bool Tried() const { return tried_; }
    // Found nothing to watch: tried again at the next Attach (an index being made may be too short).
    void TryAgain() {
        if (header_ == nullptr) tried_ = false;
    }
    // Whether the index header is as it was when MarkChecked last ran (false when not attached).
    bool UnmovedSinceCheck() const;
    void MarkChecked();
    // The index file mapped here, and which file it is: 0 when SQLite maps the index, or none.
    ino_t MappedIndex() const { return mappedIno_; }
    // Whether the kept answers still hold: false (and forgets them) when the store may have changed.
    // Inside a write transaction of our own nothing is kept: its changes are not in the header yet.
    bool Valid(sqlite3* db);
    void Clear();
    // Changes whenever what was kept is forgotten: answers stamped with it are current while it stays.
    std::uint64_t Generation() const { return generation_; }

    // nullptr: not known; a Value with no data: known to be missing.
    const std::optional<Value>* FindValue(KeyId key, const std::string& folded) const;
    void PutValue(KeyId key, const std::string& folded, std::optional<Value> value);
    const std::optional<KeyId>* FindChild(KeyId parent, const std::string& folded) const;
    void PutChild(KeyId parent, const std::string& folded, std::optional<KeyId> child);
    const bool* FindKey(KeyId id) const;
    void PutKey(KeyId id, bool exists);

private:
    static constexpr size_t kHeaderBytes = 96;  // both copies of the index header
    static constexpr size_t kMostEntries = 4096;

    // Looked up by a view of the name: a lookup copies no string.
    using Entry = std::pair<KeyId, std::string>;
    using Probe = std::pair<KeyId, std::string_view>;
    struct Hash {
        using is_transparent = void;
        size_t operator()(const Probe& k) const {
            return std::hash<std::string_view>()(k.second) ^ (std::hash<KeyId>()(k.first) * 31);
        }
        size_t operator()(const Entry& k) const { return (*this)(Probe{k.first, k.second}); }
    };
    struct Equal {
        using is_transparent = void;
        template <typename A, typename B>
        bool operator()(const A& a, const B& b) const {
            return a.first == b.first && std::string_view(a.second) == std::string_view(b.second);
        }
    };
    bool StillTheSame();

    static constexpr size_t kHeaderWords = kHeaderBytes / sizeof(std::uint64_t);
    const volatile std::uint64_t* header_ = nullptr;
    bool tried_ = false;
    void* map_ = nullptr;  // this cache's own mapping of the index file, and its descriptor, kept
    int mapFd_ = -1;       // open until the connection has closed (closing drops its locks)
    ino_t mappedIno_ = 0;
    std::uint64_t seen_[kHeaderWords] = {};
    std::uint64_t checked_[kHeaderWords] = {};
    bool filled_ = false;
    std::uint64_t generation_ = 1;
    std::unordered_map<Entry, std::optional<Value>, Hash, Equal> values_;
    std::unordered_map<Entry, std::optional<KeyId>, Hash, Equal> children_;
    std::unordered_map<KeyId, bool> keys_;
};

}  // namespace store
