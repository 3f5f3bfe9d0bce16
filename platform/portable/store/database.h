#pragma once
// One store file: its connection, its tables, how long a call waits for other processes, and when
// its writes reach the disk.
#include "read_cache.h"
#include "registry_store.h"
#include "statements.h"

#include <chrono>
#include <memory>
#include <string>

namespace store {

class Database {
public:
    // `personal`: a store of the user's own, made with mode 0600 in a folder of mode 0700.
    // `guarded`: where the user's environment put it, so used only where the real user may trust
    // it (see trusted_path.h); otherwise every call answers ERROR_ACCESS_DENIED and Refusal() says why.
    Database(std::string path, StoreAccess access, bool personal, bool guarded = false);
    ~Database();  // a clean close: every committed write reaches the disk
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    const std::string& Path() const { return path_; }
    // Why the store was last refused to this process, naming the folder at fault; empty if it was not.
    const std::string& Refusal() const { return refusal_; }

    // The statements for a read, or nullptr while there is no store to read: no file yet, an
    // empty file, or another program's database. Reading never writes to the file.
    StatementCache* ForRead();
    // The statements for a write; the first write makes the file and its tables. Throws
    // ERROR_ACCESS_DENIED when this process may not write, ERROR_BADDB for a file that is not a store.
    StatementCache& ForWrite();
    // Whether the file system lets this process write the store, or make it.
    bool MayWrite();
    // After a failure the file may have been replaced or repaired: start afresh on the next call.
    void Disconnect();

    // While set, a store locked by another writer is waited for as long as writers wait.
    void SetWriting(bool writing) { writing_ = writing; }
    // A write transaction of this process committed.
    void Committed();
    // This process is about to write, or undid writes: what it read before may no longer hold.
    void Touched() { ++localWrites_; }
    // Makes every committed write durable now.
    void Flush();
    // Whether the connection checks that the key a row names exists (the tables' REFERENCES). It
    // must check outside a tree's writes: deletes go down the tree through those references.
    void CheckReferences(bool check) {
        if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FKEY, check ? 1 : 0, nullptr);
    }
    // Answers kept from earlier reads, or nullptr when none may be used now. Call after ForRead.
    ReadCache* Cache() {
        if (db_ == nullptr || !walMode_) return nullptr;
        // The log index is mapped by the connection's first read in WAL mode.
        if (!cache_.Attached()) cache_.Attach(db_);
        return cache_.Valid(db_) ? &cache_ : nullptr;
    }
    // Changes whenever the contents may have changed, by this process or another. Call inside a read.
    sqlite3_int64 Version();

private:
    void Connect(bool forWrite);
    void MakeFile();
    // A guarded store: whether the real user may trust where it is (making it with `make`).
    bool Trusted(bool make);
    void PrepareForWrites();
    static int BusyHandler(void* self, int count);

    std::string path_;
    StoreAccess access_;
    bool personal_;
    bool guarded_;
    std::string refusal_;
    bool readRefused_ = false;
    std::string openPath_;  // a guarded store's path with no symbolic link in it
    sqlite3* db_ = nullptr;
    std::unique_ptr<StatementCache> statements_;
    ReadCache cache_;
    bool connected_ = false;
    bool mayWrite_ = false;
    bool hasTables_ = false;   // the file holds a store (else it reads as empty)
    bool foreign_ = false;     // another program's database: never written
    bool writeReady_ = false;  // journal mode and durability set for writing
    bool wal_ = false;      // this connection writes in WAL mode
    bool walMode_ = false;  // the file is in WAL mode
    bool unsynced_ = false;
    bool writing_ = false;
    sqlite3_int64 localWrites_ = 0;
    std::chrono::steady_clock::time_point busySince_{};
    std::chrono::steady_clock::time_point readsFailUntil_{};
};

// The background flush that keeps unflushed writes to at most the last second. A process that
// forks stops it around the fork (no SQLite call may be under way in another thread then).
void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

}  // namespace store
