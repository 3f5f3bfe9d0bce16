#include "read_cache.h"

#include "statements.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace store {

namespace {

// A header that never moves, for a reader without an index file.
const std::uint64_t kUnwatched[12] = {};

}  // namespace

void ReadCache::Attach(sqlite3* db, const std::string& index, bool unwatched) {
    tried_ = true;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file != nullptr &&
        file->pMethods != nullptr && file->pMethods->iVersion >= 2 && file->pMethods->xShmMap != nullptr) {
        volatile void* region = nullptr;
        // Maps nothing new: only the region the connection already uses (none outside WAL mode). A
        // reader that may not write the index gets it read-only, or nothing when SQLite keeps it
        // in its own memory.
        const int rc = file->pMethods->xShmMap(file, 0, 32768, 0, &region);
        if ((rc == SQLITE_OK || (rc & 0xFF) == SQLITE_READONLY) && region != nullptr) {
            header_ = static_cast<const volatile std::uint64_t*>(region);
            return;
        }
    }
    if (unwatched) {
        header_ = kUnwatched;
        return;
    }
    // Only a file that holds a header: one cut short may be cut to nothing, and a page of the
    // mapping wholly past its end may not be read. The descriptor is kept for another try.
    if (mapFd_ < 0) mapFd_ = open(index.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (mapFd_ < 0 || fstat(mapFd_, &st) != 0 || st.st_size < static_cast<off_t>(kHeaderBytes)) return;
    void* map = mmap(nullptr, kHeaderBytes, PROT_READ, MAP_SHARED, mapFd_, 0);
    if (map == MAP_FAILED) return;
    map_ = map;
    mappedIno_ = st.st_ino;
    header_ = static_cast<const volatile std::uint64_t*>(map);
}

void ReadCache::Detach() {
    header_ = nullptr;
    tried_ = false;
    if (map_ != nullptr) munmap(map_, kHeaderBytes);
    map_ = nullptr;
    if (mapFd_ >= 0) close(mapFd_);
    mapFd_ = -1;
    mappedIno_ = 0;
    Clear();
}

bool ReadCache::UnmovedSinceCheck() const {
    if (header_ == nullptr) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    std::uint64_t differ = 0;
    for (size_t i = 0; i < kHeaderWords; ++i) differ |= header_[i] ^ checked_[i];
    return differ == 0;
}

void ReadCache::MarkChecked() {
    if (header_ == nullptr) return;
    std::atomic_thread_fence(std::memory_order_acquire);
    for (size_t i = 0; i < kHeaderWords; ++i) checked_[i] = header_[i];
}

void ReadCache::Clear() {
    values_.clear();
    children_.clear();
    keys_.clear();
    filled_ = false;
    ++generation_;
}

bool ReadCache::StillTheSame() {
    std::uint64_t now[kHeaderWords];
    std::atomic_thread_fence(std::memory_order_acquire);
    std::uint64_t differ = filled_ ? 0 : 1;
    for (size_t i = 0; i < kHeaderWords; ++i) {
        now[i] = header_[i];
        differ |= now[i] ^ seen_[i];
    }
    if (differ != 0) {
        // Read before the queries that fill the cache: a commit after it makes the next look differ.
        Clear();
        std::memcpy(seen_, now, sizeof now);
        filled_ = true;
    }
    return differ == 0;
}

bool ReadCache::Valid(sqlite3* db) {
    if (header_ == nullptr) return false;
    if (sqlite3_get_autocommit(db) == 0) {
        Clear();
        return false;
    }
    StillTheSame();
    return true;
}

const std::optional<ReadCache::Value>* ReadCache::FindValue(KeyId key, const std::string& folded) const {
    auto it = values_.find(Probe{key, folded});
    return it == values_.end() ? nullptr : &it->second;
}

void ReadCache::PutValue(KeyId key, const std::string& folded, std::optional<Value> value) {
    if (values_.size() >= kMostEntries) values_.clear();
    values_.insert_or_assign({key, folded}, std::move(value));
}

const std::optional<KeyId>* ReadCache::FindChild(KeyId parent, const std::string& folded) const {
    auto it = children_.find(Probe{parent, folded});
    return it == children_.end() ? nullptr : &it->second;
}

void ReadCache::PutChild(KeyId parent, const std::string& folded, std::optional<KeyId> child) {
    if (children_.size() >= kMostEntries) children_.clear();
    children_.insert_or_assign({parent, folded}, child);
}

}  // namespace store

namespace store {

const bool* ReadCache::FindKey(KeyId id) const {
    auto it = keys_.find(id);
    return it == keys_.end() ? nullptr : &it->second;
}

void ReadCache::PutKey(KeyId id, bool exists) {
    if (keys_.size() >= kMostEntries) keys_.clear();
    keys_[id] = exists;
}

}  // namespace store
