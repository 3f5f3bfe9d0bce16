// A store file's connection.
//
// Durability: the store runs in WAL mode with synchronous=NORMAL. A commit is written to the log
// before the call returns, so a killed process loses nothing; the log is synced within kFlushBound
// by a background thread on a connection of its own, at once by RegFlushKey (whoever wrote), and
// when the store is closed cleanly, so a power cut loses at most the last kFlushBound of writes, and
// never part of one (the log's checksums drop an unfinished transaction). The log is copied back by
// that thread and emptied once the store is quiet (its frames go by the name: a file renamed over
// the store must not take them in); a write that finds no room left under kLogSizeLimit copies it
// back before it writes, and starts it over (BeginWrite). The log and its
// index are kept after the last connection closes, so a user who may only read the store can still
// read it; when they are gone, such a user reads through a file layer that stands in for them
// (readonly_files.h). The store's files carry kApplicationId: any other file is never opened by
// SQLite, so never changed, checkpointed or given log files (file_header.h).
//
// The connection's states and the moves between them: database_states.cpp. Writes (beginning one
// within the log's bound, commits and their sync): writes.cpp. Which file is at the path is file_'s
// (store_file.h); how long a call waits for a lock, busy_'s (busy.h); the tables: tables.h; the log
// and its index: log.h; the background thread: flusher.h; a user's store opened where it was
// checked: folder_files.h; large writes put on the disk while they go on: writeback.h.
#include "database.h"

#include "built_file.h"
#include "busy.h"
#include "file_header.h"
#include "flusher.h"
#include "folder_files.h"
#include "log.h"
#include "readonly_files.h"
#include "statements.h"
#include "store_file.h"
#include "tables.h"
#include "trusted_path.h"
#include "writeback.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <ctime>
#include <mutex>

namespace store {
namespace {

constexpr int kStatementJournalBytes = 0;  // none kept in memory

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

Database::Database(std::string path, Options options)
    : path_(std::move(path)),
      writes_(options.writes),
      personal_(options.owner == Owner::User),
      guarded_(options.trust == Trust::Checked),
      building_(options.purpose == Purpose::Build),
      file_(std::make_unique<FileIdentity>()),
      busy_(std::make_unique<BusyWait>()) {
    static std::once_flag once;
    std::call_once(once, [] {
        // SQLite takes these only before it starts, which its first call (FolderVfs's) does.
        // Its count of the memory it holds takes a global lock around every allocation, and a bulk
        // write allocates for every row; nothing here reads the count.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        // A statement's or savepoint's journal is a file from its first byte. SQLite's journal in
        // memory, spilled to a file after it was cut back, fails its writes with SQLITE_FULL (a
        // hive imported again over its own key, 10,000 keys and more, failed so); and a file keeps
        // the memory of a big delete bounded (a 200 MB hive's key replaced: 245 MiB peak, 400 in
        // memory). It costs page-cache writes where a savepoint wraps bulk writes.
        sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, kStatementJournalBytes);
        // Before the first file is opened: see writeback.h and folder_files.h.
        StartWritesEarly();
        FolderVfs();
    });
}

Database::~Database() {
    Disconnect();
    if (folder_ >= 0) close(folder_);
}

void Database::Inherited() {
    leaveLog_ = true;
    Enter(State::Inherited);
}

void Database::Disconnect() {
    const bool unsynced = journal_ == Journal::Unsynced;
    Enter(Journal::Rollback);  // while the connection is whole, as the states have it
    if (flushDb_ != nullptr) {
        if (Flusher* flusher = Flusher::IfAlive()) flusher->Forget(flushDb_);
        if (leaveLog_) sqlite3_db_config(flushDb_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(flushDb_);  // first: the store's own connection closes last
        flushDb_ = nullptr;
    }
    if (db_ != nullptr) {
        if (unsynced) SyncLog(db_);
        // The log files go by the name: those of a file since replaced may be the new file's now,
        // and those a forked child inherited may have been replaced. Closing must not copy them
        // into the file this connection had open, nor cut them short.
        if (leaveLog_) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        statements_.reset();
        sqlite3_close_v2(db_);
    }
    cache_.Detach();  // after the connections: it may hold the index file open
    leaveLog_ = false;
    file_->Close();
    db_ = nullptr;
    index_ = Index::Shared;
    Enter(State::Closed);
}

std::uint64_t Database::File(bool exact) {
    if (!Connected()) {
        Connect(false);
        return file_->Number();
    }
    if (building_) return file_->Number();  // no other process knows the file: nothing replaces it
    // A cached read makes no system call: while the log's index header has not moved, the file
    // is looked at once in kFileCheckBound (the coarse clock is read without one).
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const std::int64_t ms = std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    if (!exact && ms < nextFileCheck_ && cache_.UnmovedSinceCheck()) return file_->Number();
    nextFileCheck_ = ms + kFileCheckBound.count();
    cache_.MarkChecked();
    cache_.TryAgain();
    // A writer has made the log files again, or another index file took the place of the one
    // watched: read through them.
    const std::string& path = OpenPath();
    struct stat st {};
    if ((index_ == Index::None && Exists(path + "-wal") && Exists(path + "-shm")) ||
        (cache_.MappedIndex() != 0 && (stat((path + "-shm").c_str(), &st) != 0 || st.st_ino != cache_.MappedIndex()))) {
        if (db_ == nullptr || sqlite3_get_autocommit(db_) != 0) Disconnect();
        return File(true);
    }
    if (file_->Replaced()) {
        // Renamed over or deleted: its handles are gone. A transaction of ours on it ends first.
        leaveLog_ = true;
        if (db_ == nullptr || sqlite3_get_autocommit(db_) != 0) {
            if (journal_ == Journal::Unsynced) Enter(Journal::Writer);  // its writes went with it
            Disconnect();
        }
    }
    return file_->Number();
}

StatementCache* Database::ForRead() {
    // Another process may have made the file, or its tables, since we last looked.
    if (!Connected() || (db_ == nullptr && Exists(path_))) Connect(false);
    if (state_ == State::Refused) throw Failure{ERROR_ACCESS_DENIED};
    if (state_ == State::NoStore && db_ != nullptr) Connect(false);
    AssertState();
    return Readable() ? statements_.get() : nullptr;
}

StatementCache& Database::ForWrite() {
    if (state_ != State::Writable) {
        if (!MayWrite()) throw Failure{ERROR_ACCESS_DENIED};
        if (!Readable()) Connect(true);
        // The file or its folder may have changed hands since MayWrite looked.
        if (state_ == State::Refused || !mayWrite_) throw Failure{ERROR_ACCESS_DENIED};
        if (state_ != State::Writable) PrepareForWrites();
    }
    AssertState();
    return *statements_;
}

bool Database::MayWrite() {
    if (!Connected()) Connect(false);
    AssertState();
    return mayWrite_;
}

bool Database::Trusted(bool make) {
    const TrustedPath trusted = CheckUserStorePath(path_, make);
    if (folder_ >= 0) close(folder_);  // no connection uses it: each closed before a walk
    folder_ = trusted.folder;
    refusal_ = trusted.refusal.empty() ? trusted.cannotMake : trusted.refusal;
    if (!trusted.refusal.empty()) {
        // Refused to read as well: nothing of the connection stays.
        if (Connected() && state_ != State::Refused) Disconnect();
        mayWrite_ = false;
        Enter(State::Refused);
    }
    // Opened where it was checked, through the folder's descriptor; a missing folder by its path
    // (nothing there to read, and the first write walks again, making it).
    const auto slash = trusted.path.rfind('/');
    openPath_ = folder_ >= 0 ? InFolder(folder_, trusted.path.substr(slash + 1)) : trusted.path;
    return trusted.refusal.empty();
}

// Closed → NoStore, and from there as far as the file allows: Foreign, Unmarked or Store, or
// Refused for a guarded store (Trusted). Throws when the file cannot be looked at, and (`forWrite`)
// when it may not become a store.
void Database::Connect(bool forWrite) {
    Disconnect();
    Enter(State::NoStore);
    if (guarded_ && !Trusted(false)) return;
    const std::string& path = OpenPath();
    const std::string dir = DirectoryOf(path);
    bool exists = file_->Open(path, guarded_);
    if (!exists && errno != ENOENT) throw Failure{errno == EACCES ? LONG{ERROR_ACCESS_DENIED} : LONG{ERROR_CANTREAD}};
    if (writes_ == Writes::Never) mayWrite_ = false;
    else if (exists) mayWrite_ = access(path.c_str(), W_OK) == 0 && access(dir.c_str(), W_OK) == 0;
    else
        mayWrite_ =
            (!guarded_ || refusal_.empty()) && access((personal_ ? ExistingAncestor(dir) : dir).c_str(), W_OK) == 0;
    if (!exists) {
        if (!forWrite) return;  // an empty store, until the first write
        if (!mayWrite_) throw Failure{ERROR_ACCESS_DENIED};
        if (!guarded_) MakeStoreFile(path_, personal_);
        else if (!Trusted(true)) throw Failure{ERROR_ACCESS_DENIED};
        if (!file_->Open(path, guarded_)) throw Failure{ERROR_CANTWRITE};
    } else if (access(path.c_str(), R_OK) != 0) {
        throw Failure{ERROR_ACCESS_DENIED};
    }

    // What the header says decides whether SQLite opens the file at all.
    unsigned char header[kHeaderBytes] = {};
    std::int64_t size = 0;
    std::optional<Verdict> verdict;  // none: SQLite will say what is wrong
    if (ReadHeader(path, header, size)) verdict = JudgeHeader(header, size);
    if (verdict == Verdict::Unmarked && !HasStoreTables(path, StoreVfs())) verdict = Verdict::Foreign;
    switch (verdict.value_or(Verdict::Store)) {
        case Verdict::Foreign:  // never opened: no lock, no log, no checkpoint
            Enter(State::Foreign);
            if (forWrite) throw Failure{ERROR_BADDB};
            return;
        case Verdict::Newer:
            throw Failure{ERROR_BADDB};
        case Verdict::Empty:
            if (!forWrite) return;
            break;
        case Verdict::Unmarked:
        case Verdict::Store:
            break;
    }
    Open(forWrite, verdict == Verdict::Empty);
}

void Database::Open(bool forWrite, bool empty) {
    const std::string& path = OpenPath();
    const int flags = (mayWrite_ ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX |
                      (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0);
    // A reader who may not make the log files again reads without them while they are gone.
    // The index goes by the name, and a process that had the file before it was renamed over may
    // keep it alive: an empty log's index that tells another size than the file's is that file's.
    // One who may write it has SQLite build it again; one who may not builds one of their own.
    if (!mayWrite_ && (!Exists(path + "-wal") || !Exists(path + "-shm"))) index_ = Index::None;
    else if (IndexOfAnotherFile(path, file_->Fd(), mayWrite_)) index_ = Index::Private;
    const char* vfs = index_ == Index::Shared ? StoreVfs() : readonly::Use(index_ == Index::Private);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, vfs) != SQLITE_OK) {
        const LONG code = ErrorOf(db_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw Failure{code};
    }
    sqlite3_busy_handler(db_, &BusyWait::Handler, busy_.get());
    statements_ = std::make_unique<StatementCache>(db_);
    Verdict verdict = Verdict::Empty;
    try {
        if (mayWrite_) KeepLogFiles(db_);
        statements_->Exec("PRAGMA foreign_keys = ON");
        if (empty) return;  // the first write's transaction reads it
        // The first read opens the log, and takes back a write that was cut short: what it reads
        // is what the file holds now.
        verdict = Judge(MarksOf(*statements_));
        if (verdict == Verdict::Newer) throw Failure{ERROR_BADDB};
        if (InWal()) Enter(Journal::Wal);
    } catch (const Failure&) {
        Disconnect();
        Enter(State::NoStore);
        throw;
    }
    switch (verdict) {
        case Verdict::Store:
            Enter(State::Store);
            break;
        case Verdict::Unmarked:
            Enter(State::Unmarked);
            break;
        case Verdict::Foreign:
            Enter(Journal::Rollback);
            statements_.reset();
            sqlite3_close_v2(db_);
            db_ = nullptr;
            Enter(State::Foreign);
            if (forWrite) throw Failure{ERROR_BADDB};
            break;
        case Verdict::Empty:
        case Verdict::Newer:
            break;  // NoStore
    }
}

// The first write of this connection: NoStore (tables made), Unmarked (marked) or Store → Store →
// Writable, in WAL mode where the file could be switched to it. Another program's database is
// refused.
void Database::PrepareForWrites() {
    if (state_ == State::Foreign) throw Failure{ERROR_BADDB};
    assert(db_ != nullptr && (state_ == State::NoStore || state_ == State::Unmarked || state_ == State::Store));
    for (int attempt = 0; state_ != State::Store; ++attempt) {
        SetWriting(true);
        try {
            statements_->Exec("BEGIN IMMEDIATE");
            // Another process may have made the tables, or written something else, meanwhile.
            const Verdict verdict = Judge(MarksOf(*statements_));
            if (verdict == Verdict::Foreign || verdict == Verdict::Newer) {
                leaveLog_ = true;  // not ours to checkpoint
                throw Failure{ERROR_BADDB};
            }
            if (verdict == Verdict::Empty) MakeTables(*statements_);
            if (verdict == Verdict::Unmarked) MarkStore(*statements_);
            statements_->Exec("COMMIT");
        } catch (const Failure&) {
            // The first connections to read a new, empty file drop the log a deleted store left;
            // one that finds it already gone tries again.
            const bool lostRace = sqlite3_extended_errcode(db_) == SQLITE_IOERR_DELETE_NOENT;
            statements_->TryExec("ROLLBACK");
            SetWriting(false);
            if (lostRace && attempt < 3) continue;
            throw;
        }
        SetWriting(false);
        Enter(State::Store);
    }
    if (building_) {
        // No other process knows the file: nothing to keep whole for them, and the file is
        // synced once, when sealed. A log would write every page twice. The journal stays in
        // memory (it keeps only pages the file had when the transaction began: few, in a new
        // file), so that a savepoint still rolls back; without one (journal_mode OFF) it does not.
        statements_->Exec("PRAGMA journal_mode = MEMORY");
        statements_->Exec("PRAGMA synchronous = OFF");
        Enter(State::Writable);
        Enter(Journal::Unlogged);
        return;
    }
    SetWriting(true);
    // Needs a moment alone with the file; when other connections are busy it stays as it is, to be
    // tried again by the next connection.
    if (sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK &&
        (sqlite3_errcode(db_) & 0xFF) != SQLITE_BUSY)
        Fail(db_);
    SetWriting(false);
    Enter(State::Writable);
    WriteIn(InWal());
}

std::unique_ptr<Database> Database::Builder() {
    if (guarded_ || building_ || !MayWrite() || Exists(path_)) return nullptr;
    RemoveAbandonedBuilds(path_);
    // Made now, empty, so that its name is known (and can be removed) from the start.
    const std::string built = BuildPath(path_);
    MakeStoreFile(built, personal_);
    return std::make_unique<Database>(
        built, Options{.writes = writes_, .owner = personal_ ? Owner::User : Owner::Shared, .purpose = Purpose::Build});
}

Database::Sealed Database::SealAt(const std::string& path) {
    assert(building_);
    if (state_ != State::Writable) return Sealed::NothingWritten;
    assert(journal_ == Journal::Unlogged);
    if (sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_);
    Disconnect();
    // Its log files, made by the switch, are empty: the store's are made again at its path.
    for (const char* suffix : {"-wal", "-shm"}) unlink((path_ + suffix).c_str());
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!synced) throw Failure{ERROR_CANTWRITE};
    return PlaceBuiltFile(path_, path) ? Sealed::Placed : Sealed::PathTaken;
}

bool Database::InWal() {
    Query mode(*statements_, "PRAGMA journal_mode");  // asks, changes nothing
    mode.Step();
    return mode.Text(0) == "wal";
}

std::uint64_t Database::SnapshotStamp() const {
    // A store failure may have closed that connection, and its transaction with it.
    const bool held = snapshot_ != 0 && db_ != nullptr && db_ == snapshotOn_ && sqlite3_get_autocommit(db_) == 0;
    return held ? snapshot_ : 0;
}

long long Database::Version() {
    Query q(*statements_, "PRAGMA data_version");
    q.Step();
    return q.Int(0) + (localWrites_ << 32);
}

void Database::SetWriting(bool writing) {
    if (writing) busy_->Writing();
    else busy_->Reading();
}

void Database::CheckReferences(bool check) {
    if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_FKEY, check ? 1 : 0, nullptr);
}

void Database::RoomForTree() {
    statements_->Exec("PRAGMA cache_size = -32768");
}

const char* Database::StoreVfs() const {
    return guarded_ ? FolderVfs() : nullptr;
}

}  // namespace store
