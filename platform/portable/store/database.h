#pragma once
// One store file: its connection, its tables, which file is at its path, how long a call waits for
// other processes, and when its writes reach the disk.
#include "flusher.h"
#include "folder_files.h"
#include "read_cache.h"
#include "registry_store.h"
#include "statements.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace store {

// A reader looks whether the store's file was replaced at the latest this long after it last
// looked (sooner when the log's index header moves); a writer looks before every write.
constexpr std::chrono::milliseconds kFileCheckBound{50};

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
    // The file the store is now: changes when the file at the path is no longer the one that was
    // open (renamed over, or deleted and made again). Handles opened on an earlier file are gone.
    // `exact` (for a write): looks now, one fstat; else at the latest kFileCheckBound after the
    // last look, or as soon as the log's index header moves.
    std::uint64_t File(bool exact);
    // In a forked child: the connection is the parent's. The next call opens one of its own.
    void Inherited() {
        state_ = State::Inherited;
        leaveLog_ = true;
    }

    // Begins a write transaction on `s` (this store's statements, from ForWrite). A log that the
    // write could take past kLogSizeLimit is copied back and emptied first.
    void BeginWrite(StatementCache& s);
    // While set, a store locked by another writer is waited for as long as writers wait.
    void SetWriting(bool writing) { writing_ = writing; }
    // A write transaction of this process committed.
    void Committed();
    // This process is about to write, or undid writes: what it read before may no longer hold.
    void Touched() { ++localWrites_; }
    // Makes every committed write durable now, also those of other processes.
    void Flush();
    // Whether the connection checks that the key a row names exists (the tables' REFERENCES). It
    // must check outside a tree's writes: deletes go down the tree through those references.
    void CheckReferences(bool check) {
        if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FKEY, check ? 1 : 0, nullptr);
    }
    // Room for the pages a tree of the size of a SYSTEM hive writes, so that none is written out
    // and read back before the commit. Call after ForWrite.
    void RoomForTree() { statements_->Exec("PRAGMA cache_size = -32768"); }
    // Answers kept from earlier reads, or nullptr when none may be used now. Call after ForRead.
    ReadCache* Cache() {
        if (db_ == nullptr || journal_ == Journal::Rollback) return nullptr;
        // The log index is mapped by the connection's first read in WAL mode.
        if (!cache_.Tried()) cache_.Attach(db_, OpenPath() + "-shm", withoutLogFiles_);
        return cache_.Valid(db_) ? &cache_ : nullptr;
    }
    // Changes whenever the contents may have changed, by this process or another. Call inside a read.
    sqlite3_int64 Version();

private:
    // How far the connection has come, each state needing what the ones before it have. Checked
    // on the way into and out of every call that changes it (AssertState).
    enum class State {
        Closed,     // no connection: the next call looks at the file afresh
        Inherited,  // a forked child's copy of the parent's connection: closed, never used
        Refused,    // a guarded store whose folders the real user may not trust: no connection
        NoStore,    // nothing to read: no file or an empty one (open, for the first write, or not)
        Foreign,    // another program's database: never opened, never written
        Unmarked,   // a store made before stores were marked, open for reads; the first write marks it
        Store,      // a store, open for reads
        Writable,   // a store open for writes: marked, journal mode and durability set
    };
    // The file's journal as this connection knows it.
    enum class Journal {
        Rollback,   // not (known to be) in WAL mode
        Wal,        // the file is in WAL mode
        WalWriter,  // and this connection writes in it
    };
    bool Connected() const { return state_ != State::Closed && state_ != State::Inherited; }
    bool Readable() const { return state_ == State::Unmarked || state_ == State::Store || state_ == State::Writable; }
    void AssertState() const;

    enum class Kind { Empty, Store, Foreign, Newer, Unknown };
    Kind Classify();
    void Connect(bool forWrite);
    void Replaced();
    void MakeFile();
    // A guarded store: whether the real user may trust where it is (making it with `make`).
    bool Trusted(bool make);
    void PrepareForWrites();
    // Whether the connection reads and writes the file through its log (inside a transaction:
    // exact once the transaction has read the file).
    bool InWal();
    // Durability, log hook and log bound for a connection that writes in the log or without it.
    void WriteIn(bool wal);
    static int BusyHandler(void* self, int count);
    // The path SQLite opens: for a guarded store, the checked one with no symbolic link in it.
    const std::string& OpenPath() const { return guarded_ ? openPath_ : path_; }
    // The file layer for OpenPath(): the default one, or for a guarded store the folder's.
    const char* StoreVfs() const { return guarded_ ? FolderVfs() : nullptr; }
    static int LogHook(void* self, sqlite3* db, const char* name, int pages);
    // Inside a write transaction: whether the log has room for a write of kBoundedWriteBytes.
    bool LogFits();

    std::string path_;
    StoreAccess access_;
    bool personal_;
    bool guarded_;
    std::string refusal_;
    std::string openPath_;  // a guarded store's name in the folder the trust walk checked
    int folder_ = -1;       // that folder, open while the store is used
    sqlite3* db_ = nullptr;
    sqlite3* flushDb_ = nullptr;  // the background flush's connection to the same file
    int pathFd_ = -1;             // O_PATH: fstat tells whether the file was unlinked; closing it drops no lock
    dev_t dev_ = 0;               // the file last open, while `known_`
    ino_t ino_ = 0;
    bool known_ = false;
    std::uint64_t file_ = 1;
    std::unique_ptr<StatementCache> statements_;
    ReadCache cache_;
    State state_ = State::Closed;
    Journal journal_ = Journal::Rollback;
    bool mayWrite_ = false;
    bool unsynced_ = false;         // a commit of this connection's log not yet synced
    bool leaveLog_ = false;         // close without a checkpoint: the log files may not be this file's
    bool withoutLogFiles_ = false;  // a reader that found the log files gone
    bool writing_ = false;
    std::chrono::steady_clock::time_point emptyingUntil_{};  // while emptying a full log (BeginWrite)
    int copyAsked_ = 0;  // how far the log had grown when the background flush was last asked to copy it back
    sqlite3_int64 localWrites_ = 0;
    std::int64_t nextFileCheck_ = 0;  // ms of CLOCK_MONOTONIC_COARSE
    std::chrono::steady_clock::time_point busySince_{};
    std::chrono::steady_clock::time_point readsFailUntil_{};
};

}  // namespace store
