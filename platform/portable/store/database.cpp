// A store file's connection. Durability: the store runs in WAL mode with synchronous=NORMAL. A
// commit is written to the log before the call returns, so a killed process loses nothing; the log
// is synced within kFlushBound by a background thread on a connection of its own, at once by
// RegFlushKey (whoever wrote), and when the store is closed cleanly, so a power cut loses at most
// the last kFlushBound of writes, and never part of one (the log's checksums drop an unfinished
// transaction). The log is copied back by that thread, early while writes go on, and emptied once
// the store is quiet (its frames go by the name: a file renamed over the store must not take them
// in); a write that finds no room left under kLogSizeLimit copies back the rest and empties it
// before it writes (BeginWrite). The
// log and its index are kept after the last connection closes, so a user who may only read the
// store can still read it; when they are gone, such a user reads through a file layer that stands
// in for them (readonly_files.h). The store's files carry kApplicationId: any other file is never
// opened by SQLite, so never changed, checkpointed or given log files. Tables and constants:
// schema.h; the background thread: flusher.h; a user's store opened where it was checked:
// folder_files.h; large writes put on the disk while they go on: writeback.h.
#include "database.h"

#include "flusher.h"
#include "folder_files.h"
#include "log.h"
#include "readonly_files.h"
#include "schema.h"
#include "trusted_path.h"
#include "writeback.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace store {
namespace {

using namespace std::chrono_literals;

// A log of this many pages is copied back by the background flush without waiting for a pause, so
// that a writer seldom finds the log full, and then finds little left to copy and sync. It is
// asked again every kEarlyCopyStep pages, so that rounds follow each other while the log grows.
constexpr int kEarlyCopyPages = 256;
constexpr int kEarlyCopyStep = 64;
constexpr auto kWriterWait = 10s;           // writers wait their turn this long
constexpr auto kReaderWait = 1s;            // a reader gives up sooner: the window must appear
constexpr auto kLockedStoreQuiet = 1500ms;  // after a reader gave up, later reads fail at once
constexpr int kStatementJournalBytes = 1 << 20;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys (
    id     INTEGER PRIMARY KEY,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    UNIQUE (parent, folded)
);
CREATE TABLE IF NOT EXISTS "values" (
    key    INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name   TEXT NOT NULL,
    folded TEXT NOT NULL,
    type   INTEGER NOT NULL,
    data   BLOB NOT NULL,
    PRIMARY KEY (key, folded)
) WITHOUT ROWID;
INSERT OR IGNORE INTO keys (id, parent, name, folded) VALUES
    (1, NULL, 'HKEY_CLASSES_ROOT', 'HKEY_CLASSES_ROOT'),
    (2, NULL, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'),
    (3, NULL, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
    (4, NULL, 'HKEY_USERS', 'HKEY_USERS'),
    (6, NULL, 'HKEY_CURRENT_CONFIG', 'HKEY_CURRENT_CONFIG');
)sql";
const std::string kMark = "PRAGMA application_id = " + std::to_string(kApplicationId);
const std::string kMakeTables =
    kSchema + ("PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n") + kMark + ";";
// The log is cut back to this size whenever it is copied back.
const std::string kLogLimit = "PRAGMA journal_size_limit = " + std::to_string(kLogSizeLimit);

LONG NoWriteCode() {
    return errno == EACCES || errno == EROFS || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The nearest folder on the way to `dir` that exists: a personal store makes the rest.
std::string ExistingAncestor(std::string dir) {
    while (access(dir.c_str(), F_OK) != 0 && dir != "/" && dir != ".") dir = DirectoryOf(dir);
    return dir;
}

void MakeFolders(const std::string& dir, mode_t mode) {
    if (access(dir.c_str(), F_OK) == 0) return;
    MakeFolders(DirectoryOf(dir), mode);
    if (mkdir(dir.c_str(), mode) == 0) chmod(dir.c_str(), mode);  // whatever the umask
    else if (errno != EEXIST) throw Failure{NoWriteCode()};
}

void KeepLogFiles(sqlite3* db) {
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
}

// The header of a SQLite file, read through SQLite's own file layer: a plain close() would drop the
// locks another connection of this process holds on the file.
bool ReadHeader(const std::string& path, unsigned char (&header)[100], sqlite3_int64& size) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) return false;
    std::vector<std::max_align_t> memory(static_cast<size_t>(vfs->szOsFile) / sizeof(std::max_align_t) + 1);
    auto* file = reinterpret_cast<sqlite3_file*>(memory.data());
    file->pMethods = nullptr;
    sqlite3_filename name = sqlite3_create_filename(path.c_str(), "", "", 0, nullptr);
    int flags = 0;
    bool ok =
        name != nullptr && vfs->xOpen(vfs, name, file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &flags) == SQLITE_OK;
    if (ok) {
        ok = file->pMethods->xFileSize(file, &size) == SQLITE_OK;
        if (ok && size >= 100) ok = file->pMethods->xRead(file, header, 100, 0) == SQLITE_OK;
    }
    if (file->pMethods != nullptr) file->pMethods->xClose(file);
    sqlite3_free_filename(name);
    return ok;
}

std::uint32_t BigEndian(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::string UriPath(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char* const hex = "0123456789ABCDEF";
            uri += '%';
            uri += hex[static_cast<unsigned char>(c) >> 4];
            uri += hex[c & 15];
        } else {
            uri += c;
        }
    }
    return uri;
}

// A store made before stores were marked: its tables are the store's. Read as an unchanging file,
// so that a file that is not a store is neither locked nor given a log.
bool HasStoreTables(const std::string& path, const char* vfs) {
    sqlite3* db = nullptr;
    bool store = false;
    const std::string uri = UriPath(path) + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, vfs) ==
        SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT (SELECT group_concat(name) FROM pragma_table_info('keys')), "
                               "(SELECT group_concat(name) FROM pragma_table_info('values'))",
                               -1, &q, nullptr) == SQLITE_OK &&
            sqlite3_step(q) == SQLITE_ROW) {
            const auto* keys = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
            const auto* values = reinterpret_cast<const char*>(sqlite3_column_text(q, 1));
            store = keys != nullptr && values != nullptr && std::strcmp(keys, "id,parent,name,folded") == 0 &&
                    std::strcmp(values, "key,name,folded,type,data") == 0;
        }
        sqlite3_finalize(q);
    }
    sqlite3_close_v2(db);
    return store;
}

// The log's index (the -shm file) as the last commit left it: both copies of its header alike,
// initialised, and no frame in the log. Whether the page count it holds is another than the file's
// (`fd`, open on it) tells that it was left by another file that had the name. With `forget`, it is
// marked uninitialised, so that the next connection builds it again from the (empty) log; returns
// whether the caller must keep an index of its own instead (it may not write the index).
bool IndexOfAnotherFile(const std::string& path, int fd, bool forget) {
    constexpr size_t kHeader = kIndexHeaderBytes, kIsInit = kIndexIsInit;
    const std::string index = path + "-shm";
    const int shm = open(index.c_str(), (forget ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
    if (shm < 0) return false;
    unsigned char header[2 * kHeader];
    struct stat st {};
    bool other = pread(shm, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                 std::memcmp(header, header + kHeader, kHeader) == 0 && header[kIsInit] == 1 && fd >= 0 &&
                 fstat(fd, &st) == 0;
    if (other) {
        std::uint32_t frames = 0, pages = 0;
        std::uint16_t pageSize = 0;
        std::memcpy(&frames, header + kIndexFrames, 4);  // in the machine's own byte order
        std::memcpy(&pages, header + kIndexPages, 4);
        std::memcpy(&pageSize, header + kIndexPageSize, 2);
        const sqlite3_int64 size = IndexPageSize(pageSize);
        other = frames == 0 && pages != 0 && size >= 512 && st.st_size / size != pages;
    }
    bool own = false;
    if (other && forget) {
        const unsigned char zero = 0;
        own = pwrite(shm, &zero, 1, kIsInit) != 1 || pwrite(shm, &zero, 1, kHeader + kIsInit) != 1;
    }
    close(shm);
    return other && (!forget || own);
}

}  // namespace

Database::Database(std::string path, StoreAccess access, bool personal, bool guarded)
    : path_(std::move(path)), access_(access), personal_(personal), guarded_(guarded) {
    static std::once_flag once;
    std::call_once(once, [] {
        // SQLite takes these only before it starts, which its first call (FolderVfs's) does.
        // Its count of the memory it holds takes a global lock around every allocation, and a bulk
        // write allocates for every row; nothing here reads the count.
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        // A statement's or savepoint's journal stays in memory up to kStatementJournalBytes: a tree
        // written in bulk opens one for every batch of keys and values, and in a file each would
        // cost writes of the pages it keeps (60,000 of them for a SOFTWARE-shaped hive of 100,000
        // keys).
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

void Database::Disconnect() {
    if (flushDb_ != nullptr) {
        if (Flusher* flusher = Flusher::IfAlive()) flusher->Forget(flushDb_);
        if (leaveLog_) sqlite3_db_config(flushDb_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(flushDb_);  // first: the store's own connection closes last
        flushDb_ = nullptr;
    }
    if (db_ != nullptr) {
        if (unsynced_) SyncLog(db_);
        // The log files go by the name: those of a file since replaced may be the new file's now,
        // and those a forked child inherited may have been replaced. Closing must not copy them
        // into the file this connection had open, nor cut them short.
        if (leaveLog_) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        statements_.reset();
        sqlite3_close_v2(db_);
    }
    cache_.Detach();  // after the connections: it may hold the index file open
    leaveLog_ = false;
    if (pathFd_ >= 0) close(pathFd_);
    pathFd_ = -1;
    db_ = nullptr;
    state_ = State::Closed;
    journal_ = Journal::Rollback;
    unsynced_ = withoutLogFiles_ = false;
    AssertState();
}

void Database::AssertState() const {
    switch (state_) {
        case State::Closed:
            assert(db_ == nullptr && flushDb_ == nullptr && pathFd_ < 0);
            break;
        case State::Inherited:
            break;  // the parent's, as it was
        case State::Refused:
        case State::Foreign:
            assert(db_ == nullptr && !statements_);
            break;
        case State::NoStore:
            assert((db_ == nullptr) == !statements_);
            break;
        case State::Unmarked:
        case State::Store:
            assert(db_ != nullptr && statements_);
            break;
        case State::Writable:
            assert(db_ != nullptr && statements_ && mayWrite_);
            break;
    }
    assert(state_ != State::Refused || !mayWrite_);
    assert(journal_ == Journal::Rollback || db_ != nullptr || state_ == State::Inherited);
    assert(journal_ != Journal::WalWriter || state_ == State::Writable || state_ == State::Inherited);
    assert(!unsynced_ || journal_ == Journal::WalWriter || state_ == State::Inherited);
}

std::uint64_t Database::File(bool exact) {
    if (!Connected()) {
        Connect(false);
        return file_;
    }
    // A cached read makes no system call: while the log's index header has not moved, the file
    // is looked at once in kFileCheckBound (the coarse clock is read without one).
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const std::int64_t ms = std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    if (!exact && ms < nextFileCheck_ && cache_.UnmovedSinceCheck()) return file_;
    nextFileCheck_ = ms + kFileCheckBound.count();
    cache_.MarkChecked();
    cache_.TryAgain();
    // A writer has made the log files again, or another index file took the place of the one
    // watched: read through them.
    const std::string& path = OpenPath();
    struct stat st {};
    if ((withoutLogFiles_ && access((path + "-wal").c_str(), F_OK) == 0 &&
         access((path + "-shm").c_str(), F_OK) == 0) ||
        (cache_.MappedIndex() != 0 && (stat((path + "-shm").c_str(), &st) != 0 || st.st_ino != cache_.MappedIndex()))) {
        if (db_ == nullptr || sqlite3_get_autocommit(db_) != 0) Disconnect();
        return File(true);
    }
    if (pathFd_ >= 0 && (fstat(pathFd_, &st) != 0 || st.st_nlink == 0)) {
        // Renamed over or deleted: its handles are gone. A transaction of ours on it ends first.
        if (known_) ++file_;
        known_ = false;
        leaveLog_ = true;
        if (db_ == nullptr || sqlite3_get_autocommit(db_) != 0) {
            unsynced_ = false;  // its writes went with it
            Disconnect();
        }
    }
    return file_;
}

StatementCache* Database::ForRead() {
    // Another process may have made the file, or its tables, since we last looked.
    if (!Connected() || (db_ == nullptr && access(path_.c_str(), F_OK) == 0)) Connect(false);
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
        state_ = State::Refused;
        mayWrite_ = false;
    }
    // Opened where it was checked, through the folder's descriptor; a missing folder by its path
    // (nothing there to read, and the first write walks again, making it).
    const auto slash = trusted.path.rfind('/');
    openPath_ = folder_ >= 0 ? InFolder(folder_, trusted.path.substr(slash + 1)) : trusted.path;
    return trusted.refusal.empty();
}

// What the file at the path holds, from its header alone.
Database::Kind Database::Classify() {
    unsigned char header[100] = {};
    sqlite3_int64 size = 0;
    if (!ReadHeader(OpenPath(), header, size)) return Kind::Unknown;  // SQLite will say what is wrong
    if (size == 0) return Kind::Empty;
    if (size < 100 || std::memcmp(header, "SQLite format 3", 16) != 0) return Kind::Unknown;
    const std::uint32_t version = BigEndian(header + 60), app = BigEndian(header + 68);
    const std::uint32_t schemaCookie = BigEndian(header + 40);
    if (app == kApplicationId) return version <= kSchemaVersion ? Kind::Store : Kind::Newer;
    if (app != 0) return Kind::Foreign;
    if (version == kSchemaVersion) return HasStoreTables(OpenPath(), StoreVfs()) ? Kind::Store : Kind::Foreign;
    // A database that never had a table becomes a store on the first write; one in WAL mode may
    // have tables in its log, and a store is never made in WAL mode.
    const bool wal = header[18] == 2 || header[19] == 2;
    return version == 0 && schemaCookie == 0 && !wal ? Kind::Empty : Kind::Foreign;
}

void Database::Connect(bool forWrite) {
    Disconnect();
    state_ = State::NoStore;
    if (guarded_ && !Trusted(false)) return;
    const std::string& path = OpenPath();
    const std::string dir = DirectoryOf(path);
    // Which file this is, to notice when another takes its place.
    const auto identify = [&]() {
        pathFd_ = open(path.c_str(), O_PATH | O_CLOEXEC | (guarded_ ? O_NOFOLLOW : 0));
        struct stat st {};
        if (pathFd_ >= 0 && fstat(pathFd_, &st) == 0) {
            if (known_ && (st.st_dev != dev_ || st.st_ino != ino_)) ++file_;
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            known_ = true;
            return true;
        }
        const int error = errno;
        if (known_) ++file_;  // deleted
        known_ = false;
        errno = error;
        return false;
    };
    const bool exists = identify();
    if (!exists && errno != ENOENT) throw Failure{errno == EACCES ? LONG{ERROR_ACCESS_DENIED} : LONG{ERROR_CANTREAD}};
    if (access_ == StoreAccess::ReadOnly) mayWrite_ = false;
    else if (exists) mayWrite_ = access(path.c_str(), W_OK) == 0 && access(dir.c_str(), W_OK) == 0;
    else
        mayWrite_ =
            (!guarded_ || refusal_.empty()) && access((personal_ ? ExistingAncestor(dir) : dir).c_str(), W_OK) == 0;
    if (!exists) {
        if (!forWrite) return;  // an empty store, until the first write
        if (!mayWrite_) throw Failure{ERROR_ACCESS_DENIED};
        MakeFile();
        if (!identify()) throw Failure{ERROR_CANTWRITE};
    } else if (access(path.c_str(), R_OK) != 0) {
        throw Failure{ERROR_ACCESS_DENIED};
    }

    const Kind kind = Classify();
    switch (kind) {
        case Kind::Foreign:  // never opened: no lock, no log, no checkpoint
            state_ = State::Foreign;
            if (forWrite) throw Failure{ERROR_BADDB};
            return;
        case Kind::Newer:
            throw Failure{ERROR_BADDB};
        case Kind::Empty:
            if (!forWrite) return;
            break;
        default:  // a store, or something SQLite must look at
            break;
    }

    const int flags = (mayWrite_ ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX |
                      (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0);
    // A reader who may not make the log files again reads without them while they are gone.
    withoutLogFiles_ =
        !mayWrite_ && (access((path + "-wal").c_str(), F_OK) != 0 || access((path + "-shm").c_str(), F_OK) != 0);
    // The index goes by the name, and a process that had the file before it was renamed over may
    // keep it alive: an empty log's index that tells another size than the file's is that file's.
    // One who may write it has SQLite build it again; one who may not builds one of their own.
    const bool privateIndex = !withoutLogFiles_ && IndexOfAnotherFile(path, pathFd_, mayWrite_);
    const char* vfs = withoutLogFiles_ || privateIndex ? readonly::Use(privateIndex) : StoreVfs();
    if (sqlite3_open_v2(path.c_str(), &db_, flags, vfs) != SQLITE_OK) {
        const LONG code = ErrorOf(db_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw Failure{code};
    }
    sqlite3_busy_handler(db_, &Database::BusyHandler, this);
    statements_ = std::make_unique<StatementCache>(db_);
    try {
        if (mayWrite_) KeepLogFiles(db_);
        statements_->Exec("PRAGMA foreign_keys = ON");
        if (kind == Kind::Empty) return;  // the first write's transaction reads it
        // The first read opens the log, and takes back a write that was cut short: what it reads
        // is what the file holds now.
        Query schema(*statements_,
                     "SELECT (SELECT count(*) FROM sqlite_schema), "
                     "(SELECT user_version FROM pragma_user_version), "
                     "(SELECT application_id FROM pragma_application_id)");
        schema.Step();
        const auto tables = schema.Int(0), version = schema.Int(1), app = schema.Int(2);
        if (app == kApplicationId && version > kSchemaVersion) throw Failure{ERROR_BADDB};
        const bool store = version == kSchemaVersion && (app == 0 || app == kApplicationId);
        state_ = store                                    ? (app == kApplicationId ? State::Store : State::Unmarked)
                 : tables > 0 || version != 0 || app != 0 ? State::Foreign
                                                          : State::NoStore;
        if (InWal()) journal_ = Journal::Wal;
    } catch (const Failure&) {
        Disconnect();
        state_ = State::NoStore;
        throw;
    }
    if (state_ == State::Foreign) {
        journal_ = Journal::Rollback;
        statements_.reset();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        if (forWrite) throw Failure{ERROR_BADDB};
    }
}

void Database::MakeFile() {
    if (guarded_) {
        if (!Trusted(true)) throw Failure{ERROR_ACCESS_DENIED};
        return;
    }
    if (personal_) MakeFolders(DirectoryOf(path_), 0700);
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, personal_ ? 0600 : 0644);
    if (fd >= 0) {
        // Whatever the umask: the system store is for everyone to read (its log files take its mode).
        fchmod(fd, personal_ ? 0600 : 0644);
        // A log left by a store deleted without it is not read in: SQLite drops the log of an
        // empty database.
        close(fd);
    } else if (errno != EEXIST) {  // another process may just have made it: that one is used
        throw Failure{NoWriteCode()};
    }
}

// The first write of this connection: makes the tables in a new (empty) file, marks a store made
// before stores were marked, refuses another program's database, and switches to the write-ahead log.
void Database::PrepareForWrites() {
    if (state_ == State::Foreign) throw Failure{ERROR_BADDB};
    assert(db_ != nullptr && (state_ == State::NoStore || state_ == State::Unmarked || state_ == State::Store));
    for (int attempt = 0; state_ != State::Store; ++attempt) {
        SetWriting(true);
        try {
            statements_->Exec("BEGIN IMMEDIATE");
            // Another process may have made the tables, or written something else, meanwhile.
            Query schema(*statements_,
                         "SELECT (SELECT count(*) FROM sqlite_schema), "
                         "(SELECT user_version FROM pragma_user_version), "
                         "(SELECT application_id FROM pragma_application_id)");
            schema.Step();
            const auto tables = schema.Int(0), version = schema.Int(1), app = schema.Int(2);
            if ((app != 0 && app != kApplicationId) || (version == 0 && tables > 0) || version > kSchemaVersion) {
                leaveLog_ = true;  // not ours to checkpoint
                throw Failure{ERROR_BADDB};
            }
            if (version == 0 && sqlite3_exec(db_, kMakeTables.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
                Fail(db_);
            if (version != 0 && app == 0) statements_->Exec(kMark);
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
        state_ = State::Store;
    }
    SetWriting(true);
    // Needs a moment alone with the file; when other connections are busy it stays as it is, to be
    // tried again by the next connection.
    if (sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK &&
        (sqlite3_errcode(db_) & 0xFF) != SQLITE_BUSY)
        Fail(db_);
    SetWriting(false);
    state_ = State::Writable;
    WriteIn(InWal());
    AssertState();
}

bool Database::InWal() {
    Query mode(*statements_, "PRAGMA journal_mode");  // asks, changes nothing
    mode.Step();
    return mode.Text(0) == "wal";
}

void Database::WriteIn(bool wal) {
    // Outside WAL mode every commit is synced, as before.
    statements_->Exec(wal ? "PRAGMA synchronous = NORMAL" : "PRAGMA synchronous = FULL");
    // The log is copied back by the background flush, and by the commit that finds it this long.
    if (wal) sqlite3_wal_hook(db_, &Database::LogHook, this);
    statements_->Exec(kLogLimit);
    journal_ = wal ? Journal::WalWriter : Journal::Rollback;
}

void Database::Committed() {
    ++localWrites_;
    if (journal_ != Journal::WalWriter) return;
    unsynced_ = true;
    if (flushDb_ == nullptr) {
        // The background flush's connection: it syncs the log this one wrote to.
        if (sqlite3_open_v2(OpenPath().c_str(), &flushDb_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0),
                            StoreVfs()) != SQLITE_OK ||
            sqlite3_exec(flushDb_, (kLogLimit + "; SELECT count(*) FROM sqlite_schema").c_str(), nullptr, nullptr,
                         nullptr) != SQLITE_OK) {
            sqlite3_close_v2(flushDb_);  // then the log is synced when the store closes
            flushDb_ = nullptr;
            return;
        }
        KeepLogFiles(flushDb_);
    }
    Flusher::Instance().Note(flushDb_);
}

// After each commit: a long log is copied back by the background flush while writes go on, so that
// the write that finds it full (BeginWrite) has little left to copy.
int Database::LogHook(void* self, sqlite3*, const char*, int pages) {
    auto* database = static_cast<Database*>(self);
    // Asked as the log passes each mark, not at every commit: each ask wakes the thread.
    const int band = pages < kEarlyCopyPages ? 0 : pages / kEarlyCopyStep;
    if (band > database->copyAsked_ && database->flushDb_ != nullptr)
        if (Flusher* flusher = Flusher::IfAlive()) flusher->CopyBackSoon(database->flushDb_);
    database->copyAsked_ = band;
    return SQLITE_OK;
}

void Database::BeginWrite(StatementCache& s) {
    const auto until = std::chrono::steady_clock::now() + kWriterWait;
    for (;;) {
        s.Exec("BEGIN IMMEDIATE");
        // A connection that could not switch the file to the log, because others were busy, finds
        // it switched by another once its transaction has read the file: from then on it writes in
        // the log, and within its bound, as they do (durability is set outside a transaction).
        if (journal_ == Journal::Rollback && InWal()) {
            s.Exec("ROLLBACK");
            WriteIn(true);
            continue;
        }
        // Holding the write lock, nothing is appended to the log but by this transaction: what is
        // there now and what it writes is all the log holds when it commits. A log without room
        // for it is emptied first, whoever filled it: emptying it after the commit that filled it
        // is not enough, as other writers append while that one waits to copy it back.
        if (journal_ != Journal::WalWriter || LogFits()) return;
        s.Exec("ROLLBACK");  // nothing written yet
        if (std::chrono::steady_clock::now() >= until) {
            // A reader held its part of the log, or copies went on, as long as writers wait: the
            // write goes on, and the log grows while they last.
            s.Exec("BEGIN IMMEDIATE");
            return;
        }
        // Copied back whole and emptied while the checkpoint holds the write lock, so that no
        // writer appends in between; every reader of the log is waited for. Another connection's
        // copy under way holds the checkpoint lock, which SQLite does not wait for: it is waited
        // for here, without taking the write lock or a read lock meanwhile (polling them would
        // keep that copy waiting for them), until it has emptied the log or let go.
        emptyingUntil_ = until;
        for (int count = 0;; ++count) {
            // The other copy emptied it (read without a lock: looked at again in the transaction).
            if (count > 0 && LogFits()) break;
            int logFrames = -1, copied = -1;
            const int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied);
            if (rc == SQLITE_OK || (rc & 0xFF) != SQLITE_BUSY) {
                emptyingUntil_ = {};
                if (rc != SQLITE_OK) Fail(db_);
                break;
            }
            // Had the checkpoint lock and waited as long as writers wait.
            if (logFrames >= 0 || std::chrono::steady_clock::now() >= until) break;
            usleep(count < 20 ? 100 : 2000);
        }
        emptyingUntil_ = {};
    }
}

bool Database::LogFits() {
    const auto length = LogLengthOf(db_);
    return !length || LogHasRoom(length->frames, length->pageSize);
}

void Database::Flush() {
    if (db_ == nullptr || journal_ == Journal::Rollback) return;
    // The log holds every commit not yet in the file, by any process, and the file is synced before
    // a checkpoint counts as done. The checkpoint leaves the log with nothing the file lacks.
    if (mayWrite_) sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (SyncLog(db_) != SQLITE_OK) throw Failure{ERROR_CANTWRITE};
    unsynced_ = false;
}

sqlite3_int64 Database::Version() {
    Query q(*statements_, "PRAGMA data_version");
    q.Step();
    return q.Int(0) + (localWrites_ << 32);
}

int Database::BusyHandler(void* self, int count) {
    auto* db = static_cast<Database*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) db->busySince_ = now;
    if (db->emptyingUntil_ != std::chrono::steady_clock::time_point{}) {
        // Emptying a full log: for the lock or its readers, as long as the write waits in all.
        if (now >= db->emptyingUntil_) return 0;
        usleep(count < 20 ? 100 : 2000);
        return 1;
    }
    const auto limit = db->writing_                ? std::chrono::steady_clock::duration(kWriterWait)
                       : now < db->readsFailUntil_ ? std::chrono::steady_clock::duration::zero()
                                                   : std::chrono::steady_clock::duration(kReaderWait);
    if (now - db->busySince_ >= limit) {
        // The rest of this look at the store fails at once: one state, not a mix.
        if (!db->writing_) db->readsFailUntil_ = now + kLockedStoreQuiet;
        return 0;
    }
    usleep(count < 20 ? 100 : 2000);
    return 1;
}

}  // namespace store
