#pragma once
// One store file: its connection, its tables, which file is at its path, how long a call waits for
// other processes, and when its writes reach the disk. How far the connection has come is a state
// machine, drawn at the top of database_states.cpp.
#include "read_cache.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

struct sqlite3;

namespace store {

class BusyWait;
class FileIdentity;
class StatementCache;

// A reader looks whether the store's file was replaced at the latest this long after it last
// looked (sooner when the log's index header moves); a writer looks before every write.
constexpr std::chrono::milliseconds kFileCheckBound{50};

// How this process uses a store file, given when its Database is made.
// Whether it writes the file: when the file system lets it, or never (as a process that may not).
enum class Writes { AsPermitted, Never };
// Whose the file is: the machine's, mode 0644; or a user's own, made with mode 0600 in folders of
// mode 0700 (the missing ones made with it).
enum class Owner { Shared, User };
// How far its path is trusted: as the program gave it; or, put there by the user's environment,
// only where the real user may trust it (trusted_path.h): otherwise every call answers
// ERROR_ACCESS_DENIED and Refusal() says why.
enum class Trust { AsGiven, Checked };
// A store at its path; or a new file no other process knows of yet, to be put at a store's path
// whole once written (SealAt): written without a log and unsynced, each page once.
enum class Purpose { Store, Build };

class Database {
public:
    struct Options {
        Writes writes = Writes::AsPermitted;
        Owner owner = Owner::Shared;
        Trust trust = Trust::AsGiven;
        Purpose purpose = Purpose::Store;
    };
    Database(std::string path, Options options);
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
    // A database to build this store in, its file made empty beside the path (built_file.h), to be
    // put at the path whole: nullptr when this one has a file there already, may not be written,
    // or is guarded. The files of earlier builds whose process is gone are removed.
    std::unique_ptr<Database> Builder();
    // A store being built, its writes committed: switches it to WAL mode, as every store is, makes
    // it durable, closes it and puts it at `path` unless a file is there now.
    enum class Sealed { NothingWritten, Placed, PathTaken };
    Sealed SealAt(const std::string& path);
    // After a failure the file may have been replaced or repaired: start afresh on the next call.
    void Disconnect();
    // The file the store is now: changes when the file at the path is no longer the one that was
    // open (renamed over, or deleted and made again). Handles opened on an earlier file are gone.
    // `exact` (for a write): looks now, one fstat; else at the latest kFileCheckBound after the
    // last look, or as soon as the log's index header moves.
    std::uint64_t File(bool exact);
    // In a forked child: the connection is the parent's. The next call opens one of its own.
    void Inherited();

    // Begins a write transaction on `s` (this store's statements, from ForWrite). A log that the
    // write could take past kLogSizeLimit is copied back and emptied first.
    void BeginWrite(StatementCache& s);
    // While set, a store locked by another writer is waited for as long as writers wait.
    void SetWriting(bool writing);
    // A write transaction of this process committed.
    void Committed();
    // This process is about to write, or undid writes: what it read before may no longer hold.
    void Touched() { ++localWrites_; }
    // Makes every committed write durable now, also those of other processes.
    void Flush();
    // Whether the connection checks that the key a row names exists (the tables' REFERENCES). It
    // must check outside a tree's writes: deletes go down the tree through those references.
    void CheckReferences(bool check);
    // Room for the pages a tree of the size of a SYSTEM hive writes, so that none is written out
    // and read back before the commit. Call after ForWrite.
    void RoomForTree();
    // Answers kept from earlier reads, or nullptr when none may be used now. Call after ForRead.
    ReadCache* Cache() {
        if (db_ == nullptr || journal_ == Journal::Rollback || journal_ == Journal::Unlogged) return nullptr;
        // The log index is mapped by the connection's first read in WAL mode.
        if (!cache_.Tried()) cache_.Attach(db_, OpenPath() + "-shm", index_ == Index::None);
        return cache_.Valid(db_) ? &cache_ : nullptr;
    }
    // Changes whenever the contents may have changed, by this process or another. Call inside a read.
    long long Version();
    // The connection open now, or nullptr.
    sqlite3* Connection() const { return db_; }
    // A snapshot (store::Snapshot) holds a read transaction on the connection open now: nothing
    // another process writes reaches this one until it ends. Its stamp, unique in this process, or
    // 0 when none holds.
    void HoldSnapshot(std::uint64_t stamp) {
        snapshot_ = stamp;
        snapshotOn_ = db_;
    }
    std::uint64_t SnapshotStamp() const;

private:
    // The states and the moves between them: see database_states.cpp.
    enum class State { Closed, Inherited, Refused, NoStore, Foreign, Unmarked, Store, Writable };
    // The file's journal as this connection knows it.
    enum class Journal {
        Rollback,  // not (known to be) in WAL mode
        Wal,       // the file is in WAL mode
        Writer,    // and this connection writes in it, every commit synced
        Unsynced,  // and a commit of this connection is in the log, not yet synced
        Unlogged,  // a store being built: Writable, written without a log, synced when sealed
    };
    // The log's index this connection reads through.
    enum class Index {
        Shared,   // the -shm file, as every connection to the store
        Private,  // one in this process's memory: the -shm file is another file's, not ours to write
        None,     // one in memory, the log files being gone and not ours to make again
    };
    bool Connected() const { return state_ != State::Closed && state_ != State::Inherited; }
    bool Readable() const { return state_ == State::Unmarked || state_ == State::Store || state_ == State::Writable; }
    // The one way into a state: asserts the move is one the machine has, then what holds in it.
    void Enter(State to);
    void Enter(Journal to);
    void AssertState() const;

    void Connect(bool forWrite);
    // Opens SQLite's connection on the file Connect found (`empty`: it holds nothing yet), and
    // moves on as far as what it reads through the log allows.
    void Open(bool forWrite, bool empty);
    // A guarded store: whether the real user may trust where it is (making it with `make`).
    bool Trusted(bool make);
    void PrepareForWrites();
    // Whether the connection reads and writes the file through its log (inside a transaction:
    // exact once the transaction has read the file).
    bool InWal();
    // Durability, log hook and log bound for a connection that writes in the log or without it.
    void WriteIn(bool wal);
    // The path SQLite opens: for a guarded store, the checked one with no symbolic link in it.
    const std::string& OpenPath() const { return guarded_ ? openPath_ : path_; }
    // The file layer for OpenPath(): the default one, or for a guarded store the folder's.
    const char* StoreVfs() const;
    // Inside a write transaction: whether the log has room for this write (of kBoundedWriteBytes at
    // most) whatever becomes of it.
    bool LogFits();
    // Copies the log back whole and empties it, waiting for readers and another copy under way
    // until `until`.
    void EmptyLog(std::chrono::steady_clock::time_point until);

    const std::string path_;
    const Writes writes_;
    const bool personal_;
    const bool guarded_;
    const bool building_;
    std::string refusal_;
    std::string openPath_;  // a guarded store's name in the folder the trust walk checked
    int folder_ = -1;       // that folder, open while the store is used
    sqlite3* db_ = nullptr;
    sqlite3* flushDb_ = nullptr;  // the background flush's connection to the same file
    std::unique_ptr<FileIdentity> file_;
    std::unique_ptr<StatementCache> statements_;
    std::unique_ptr<BusyWait> busy_;
    ReadCache cache_;
    State state_ = State::Closed;
    Journal journal_ = Journal::Rollback;
    Index index_ = Index::Shared;
    bool mayWrite_ = false;  // what the file system lets this process do, as Connect found it
    bool leaveLog_ = false;  // close without a checkpoint: the log files may not be this file's
    long long localWrites_ = 0;
    std::uint64_t snapshot_ = 0;
    sqlite3* snapshotOn_ = nullptr;
    std::int64_t nextFileCheck_ = 0;  // ms of CLOCK_MONOTONIC_COARSE
};

// The background flush that syncs every commit within kFlushBound (flusher.h). A process that forks
// holds it still around the fork (no SQLite call may be under way in another thread then).
void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

}  // namespace store
