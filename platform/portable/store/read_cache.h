#pragma once
// Answers already read from a store file, kept while the file is unchanged. In WAL mode every
// commit, by any process, changes the log's index header in shared memory, and while this process
// has the store open no other can leave WAL mode or write without that index. Comparing that
// header costs no system call, where asking SQLite costs a lock and an unlock of the index. A file
// replaced at the store's path is noticed (Database::File) before the cache is asked.
#include "keys.h"

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

    // Watches the log index of `db`'s connection; without one (not in WAL mode) nothing is kept.
    void Attach(sqlite3* db);
    void Detach();
    bool Attached() const { return header_ != nullptr; }
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
    std::uint64_t seen_[kHeaderWords] = {};
    bool filled_ = false;
    std::uint64_t generation_ = 1;
    std::unordered_map<Entry, std::optional<Value>, Hash, Equal> values_;
    std::unordered_map<Entry, std::optional<KeyId>, Hash, Equal> children_;
    std::unordered_map<KeyId, bool> keys_;
};

}  // namespace store
