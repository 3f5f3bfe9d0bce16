// A store file's connection. Durability: the store runs in WAL mode with synchronous=NORMAL. A
// commit is written to the log before the call returns, so a killed process loses nothing; the log
// is synced within kFlushBound by a background thread on a connection of its own, at once by
// RegFlushKey (whoever wrote), and when the store is closed cleanly, so a power cut loses at most
// the last kFlushBound of writes, and never part of one (the log's checksums drop an unfinished
// transaction). The log is copied back by that thread, early while writes go on, and what is left
// by a commit that finds it kCheckpointPages long, so it stays small. The log and its index are kept after the last connection closes, so a
// user who may only read the store can still read it; when they are gone, such a user reads through
// a file layer that stands in for them. The store's files carry kApplicationId: any other file is
// never opened by SQLite, so never changed, checkpointed or given log files.
#include "database.h"

#include "trusted_path.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace store {
namespace {

using namespace std::chrono_literals;

constexpr int kSchemaVersion = 1;
constexpr std::uint32_t kApplicationId = 0x76696E66;  // "vinf": the store's own files
constexpr int kCheckpointPages = 1000;  // a log of 1000 pages (4 MiB less a little) is copied back at once
// A log of this many pages is copied back by the background flush without waiting for a pause, so
// that a writer seldom finds kCheckpointPages, and then finds little left to copy and sync. It is
// asked again every kEarlyCopyStep pages, so that rounds follow each other while the log grows.
constexpr int kEarlyCopyPages = 256;
constexpr int kEarlyCopyStep = 64;
constexpr auto kWriterWait = 10s;  // writers wait their turn this long
constexpr auto kReaderWait = 1s;   // a reader gives up sooner: the window must appear
constexpr auto kLockedStoreQuiet = 1500ms;  // after a reader gave up, later reads fail at once

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
PRAGMA user_version = 1;
PRAGMA application_id = 1986621030;
)sql";
const char* const kMark = "PRAGMA application_id = 1986621030";

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

// Makes the WAL file durable: every transaction committed to it so far survives a power cut.
int SyncLog(sqlite3* db) {
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK) return SQLITE_OK;
    if (log == nullptr || log->pMethods == nullptr) return SQLITE_OK;  // no log open: nothing waits
    return log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
}

void KeepLogFiles(sqlite3* db) {
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
}

// Reading a store in WAL mode whose log files are gone, for a process that may not make them again
// (the folder is not its to write, or the medium is read-only). SQLite reads such a store when the
// files exist; this file layer stands in for the missing ones: a missing log reads as empty (the
// last process to close the store copied it back before deleting it), and a missing index is kept
// in this process's memory, built from the log, as SQLite does for an index it may not write. No
// other process can be writing the store meanwhile: a writer makes both files first.
namespace readonly {

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;  // the underlying VFS's file, or nullptr for a missing log
    bool noIndex;        // the index could not be opened: SQLite keeps it in memory
};

sqlite3_vfs g_vfs{};
sqlite3_vfs* Base() { return static_cast<sqlite3_vfs*>(g_vfs.pAppData); }
sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

int MissingLogRead(sqlite3_file*, void* p, int n, sqlite3_int64) {
    std::memset(p, 0, static_cast<size_t>(n));
    return SQLITE_IOERR_SHORT_READ;
}

const sqlite3_io_methods kMissingLog = {
    1,
    [](sqlite3_file*) { return SQLITE_OK; },
    MissingLogRead,
    [](sqlite3_file*, const void*, int, sqlite3_int64) { return SQLITE_READONLY; },
    [](sqlite3_file*, sqlite3_int64) { return SQLITE_READONLY; },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, sqlite3_int64* n) {
        *n = 0;
        return SQLITE_OK;
    },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, int) { return SQLITE_OK; },
    [](sqlite3_file*, int* r) {
        *r = 0;
        return SQLITE_OK;
    },
    [](sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; },
    [](sqlite3_file*) { return 4096; },
    [](sqlite3_file*) { return 0; },
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** p) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    if (!file->noIndex) {
        const int rc = file->real->pMethods->xShmMap(file->real, page, size, extend, p);
        if ((rc & 0xFF) != SQLITE_CANTOPEN) return rc;
        file->noIndex = true;
    }
    *p = nullptr;
    return SQLITE_READONLY_CANTINIT;  // SQLite then builds the index in memory
}

int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    return file->noIndex ? SQLITE_OK : file->real->pMethods->xShmLock(file->real, offset, n, flags);
}

const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); },
    [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); },
    [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xWrite(Real(f), p, n, o); },
    [](sqlite3_file* f, sqlite3_int64 n) { return Real(f)->pMethods->xTruncate(Real(f), n); },
    [](sqlite3_file* f, int flags) { return Real(f)->pMethods->xSync(Real(f), flags); },
    [](sqlite3_file* f, sqlite3_int64* n) { return Real(f)->pMethods->xFileSize(Real(f), n); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); },
    [](sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); },
    [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    ShmMap,
    ShmLock,
    [](sqlite3_file* f) {
        if (!reinterpret_cast<ShimFile*>(f)->noIndex) Real(f)->pMethods->xShmBarrier(Real(f));
    },
    [](sqlite3_file* f, int d) {
        return reinterpret_cast<ShimFile*>(f)->noIndex ? SQLITE_OK : Real(f)->pMethods->xShmUnmap(Real(f), d);
    },
    [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); },
    [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); },
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = reinterpret_cast<ShimFile*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + g_vfs.szOsFile - Base()->szOsFile);
    file->noIndex = false;
    file->base.pMethods = nullptr;
    int rc = Base()->xOpen(Base(), name, file->real, flags, outFlags);
    if (rc == SQLITE_OK) {
        file->base.pMethods = file->real->pMethods != nullptr && file->real->pMethods->iVersion >= 3 ? &kMethods : nullptr;
        if (file->base.pMethods == nullptr) {
            if (file->real->pMethods != nullptr) file->real->pMethods->xClose(file->real);
            return SQLITE_CANTOPEN;
        }
    } else if ((flags & SQLITE_OPEN_WAL) != 0 && name != nullptr && access(name, F_OK) != 0) {
        file->real = nullptr;
        file->base.pMethods = &kMissingLog;
        if (outFlags != nullptr) *outFlags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
        rc = SQLITE_OK;
    }
    return rc;
}

// The VFS's name, set to stand over the process's default VFS as it is now.
const char* Use() {
    sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    if (g_vfs.zName == nullptr) {
        g_vfs.iVersion = 1;
        g_vfs.zName = "versioninfo-readonly";
        g_vfs.xOpen = Open;
        g_vfs.xDelete = [](sqlite3_vfs*, const char* p, int d) { return Base()->xDelete(Base(), p, d); };
        g_vfs.xAccess = [](sqlite3_vfs*, const char* p, int f, int* r) { return Base()->xAccess(Base(), p, f, r); };
        g_vfs.xFullPathname = [](sqlite3_vfs*, const char* p, int n, char* out) {
            return Base()->xFullPathname(Base(), p, n, out);
        };
        g_vfs.xDlOpen = [](sqlite3_vfs*, const char* p) { return Base()->xDlOpen(Base(), p); };
        g_vfs.xDlError = [](sqlite3_vfs*, int n, char* m) { Base()->xDlError(Base(), n, m); };
        g_vfs.xDlSym = [](sqlite3_vfs*, void* h, const char* s) { return Base()->xDlSym(Base(), h, s); };
        g_vfs.xDlClose = [](sqlite3_vfs*, void* h) { Base()->xDlClose(Base(), h); };
        g_vfs.xRandomness = [](sqlite3_vfs*, int n, char* out) { return Base()->xRandomness(Base(), n, out); };
        g_vfs.xSleep = [](sqlite3_vfs*, int us) { return Base()->xSleep(Base(), us); };
        g_vfs.xCurrentTime = [](sqlite3_vfs*, double* t) { return Base()->xCurrentTime(Base(), t); };
        g_vfs.xGetLastError = [](sqlite3_vfs*, int n, char* m) { return Base()->xGetLastError(Base(), n, m); };
    }
    if (base != &g_vfs && g_vfs.pAppData != base) {
        g_vfs.pAppData = base;
        g_vfs.mxPathname = base->mxPathname;
        g_vfs.szOsFile = static_cast<int>((sizeof(ShimFile) + 15) / 16 * 16) + base->szOsFile;
        sqlite3_vfs_register(&g_vfs, 0);
    }
    return g_vfs.zName;
}

}  // namespace readonly

// The background flush: one thread, woken by commits, that syncs the log of every store written
// since it last looked and, once the store has been quiet for a round, copies the log back into the
// file. It works on a connection of its own for each store, opened beside the store's connection
// and closed with it, so that a registry call never waits for its syncs. Once started it stays,
// idle between writes, until the process ends: a fork must never find it starting or ending (its
// memory allocator could be caught mid-call), nor inside SQLite.
class Flusher {
public:
    static Flusher& Instance() {
        static Flusher flusher;
        return flusher;
    }
    // nullptr once the process's static objects are being destroyed.
    static Flusher* IfAlive() { return alive_ ? &Instance() : nullptr; }
    Flusher() { alive_ = true; }
    ~Flusher() {
        alive_ = false;
        {
            std::lock_guard guard(*mutex_);
            stop_ = true;
            wake_->notify_all();
        }
        if (thread_ != nullptr) {
            thread_->join();
            delete thread_;
        }
    }

    // Called with the store's lock held, as a fork is prepared.
    void Note(sqlite3* db) {
        std::unique_lock guard(*mutex_);
        if (stop_) return;
        due_.insert(db);
        if (idle_) wake_->notify_one();
        if (thread_ != nullptr) return;
        thread_ = new std::thread([this] { Run(); });
        wake_->wait(guard, [&] { return started_; });
    }

    // The log is getting long: copied back in the next round, which starts now.
    void CopyBackSoon(sqlite3* db) {
        std::lock_guard guard(*mutex_);
        if (stop_ || thread_ == nullptr) return;
        soon_.insert(db);
        wake_->notify_one();
    }

    // The connection is about to close: once this returns the thread no longer uses it.
    void Forget(sqlite3* db) {
        std::unique_lock guard(*mutex_);
        due_.erase(db);
        quiet_.erase(db);
        soon_.erase(db);
        done_->wait(guard, [&] { return !busy_; });
    }

    void BeforeFork() {
        work_->lock();
        mutex_->lock();
    }
    void AfterForkInParent() {
        mutex_->unlock();
        work_->unlock();
    }
    // The thread is not in the child; its locks belong to the parent, its connections to the store.
    void AfterForkInChild() {
        mutex_ = new std::mutex;
        work_ = new std::mutex;
        wake_ = new std::condition_variable;
        done_ = new std::condition_variable;
        thread_ = nullptr;
        started_ = busy_ = idle_ = false;
        due_.clear();
        quiet_.clear();
        soon_.clear();
    }

private:
    void Run() {
        std::unique_lock guard(*mutex_);
        started_ = true;
        wake_->notify_all();
        while (!stop_) {
            if (due_.empty() && quiet_.empty() && soon_.empty()) {
                idle_ = true;
                wake_->wait(guard, [&] { return stop_ || !due_.empty(); });
                idle_ = false;
                continue;
            }
            // A round starts early for a long log; it syncs every log written since the last one
            // all the same, so no commit waits longer than kFlushBound.
            wake_->wait_for(guard, kFlushBound / 2, [&] { return stop_ || !soon_.empty(); });
            if (stop_) break;
            guard.unlock();
            std::lock_guard work(*work_);  // held while inside SQLite: a fork waits for it
            guard.lock();
            std::set<sqlite3*> sync, copyBack;
            sync.swap(due_);
            // Written last round and not since: copied back now. A long log is copied back while
            // it is still being written; a commit that finds it longer still copies it back itself.
            for (sqlite3* db : quiet_)
                if (!sync.contains(db)) copyBack.insert(db);
            copyBack.merge(soon_);
            soon_.clear();
            quiet_ = sync;
            busy_ = true;
            guard.unlock();
            for (sqlite3* db : sync)
                if (!copyBack.contains(db)) SyncLog(db);
            for (sqlite3* db : copyBack) {
                sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
                SyncLog(db);  // the checkpoint syncs only what it copies
            }
            guard.lock();
            busy_ = false;
            done_->notify_all();
        }
        // Stopping: what is left is synced when its store is closed.
    }

    // Made anew in a forked child, never destroyed there: the parent's thread may have held them.
    std::mutex* mutex_ = new std::mutex;
    std::mutex* work_ = new std::mutex;
    std::condition_variable* wake_ = new std::condition_variable;
    std::condition_variable* done_ = new std::condition_variable;
    std::thread* thread_ = nullptr;
    bool started_ = false;
    bool idle_ = false;  // waiting for a commit
    bool busy_ = false;  // inside a round
    bool stop_ = false;
    std::set<sqlite3*> due_;    // written since the thread last looked
    std::set<sqlite3*> quiet_;  // synced last round: copied back if not written since
    std::set<sqlite3*> soon_;   // a log grown long: copied back at once
    static inline bool alive_ = false;
};

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
    bool ok = name != nullptr &&
              vfs->xOpen(vfs, name, file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &flags) == SQLITE_OK;
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
bool HasStoreTables(const std::string& path) {
    sqlite3* db = nullptr;
    bool store = false;
    const std::string uri = UriPath(path) + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr) ==
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

}  // namespace

void BeforeFork() { Flusher::Instance().BeforeFork(); }
void AfterForkInParent() { Flusher::Instance().AfterForkInParent(); }
void AfterForkInChild() { Flusher::Instance().AfterForkInChild(); }

Database::Database(std::string path, StoreAccess access, bool personal, bool guarded)
    : path_(std::move(path)), access_(access), personal_(personal), guarded_(guarded) {}

Database::~Database() { Disconnect(); }

void Database::Disconnect() {
    cache_.Detach();
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
    leaveLog_ = false;
    if (pathFd_ >= 0) close(pathFd_);
    pathFd_ = -1;
    db_ = nullptr;
    connected_ = false;
    hasTables_ = foreign_ = marked_ = writeReady_ = wal_ = walMode_ = unsynced_ = withoutLogFiles_ = false;
}

std::uint64_t Database::File() {
    if (!connected_) {
        Connect(false);
        return file_;
    }
    // A writer has made the log files again: read through them.
    if (withoutLogFiles_ && access((OpenPath() + "-wal").c_str(), F_OK) == 0 && access((OpenPath() + "-shm").c_str(), F_OK) == 0)
        Disconnect();
    struct stat st {};
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
    if (!connected_ || (db_ == nullptr && access(path_.c_str(), F_OK) == 0)) Connect(false);
    if (readRefused_) throw Failure{ERROR_ACCESS_DENIED};
    if (db_ != nullptr && !hasTables_) Connect(false);
    return hasTables_ ? statements_.get() : nullptr;
}

StatementCache& Database::ForWrite() {
    if (!connected_ || db_ == nullptr || !hasTables_ || !writeReady_) {
        if (!MayWrite()) throw Failure{ERROR_ACCESS_DENIED};
        if (!connected_ || db_ == nullptr || !hasTables_) Connect(true);
        if (!writeReady_) PrepareForWrites();
    }
    return *statements_;
}

bool Database::MayWrite() {
    if (!connected_) Connect(false);
    return mayWrite_;
}

bool Database::Trusted(bool make) {
    const TrustedPath trusted = CheckUserStorePath(path_, make);
    refusal_ = trusted.refusal.empty() ? trusted.cannotMake : trusted.refusal;
    readRefused_ = !trusted.refusal.empty();
    openPath_ = trusted.path;
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
    if (version == kSchemaVersion) return HasStoreTables(OpenPath()) ? Kind::Store : Kind::Foreign;
    // A database that never had a table becomes a store on the first write; one in WAL mode may
    // have tables in its log, and a store is never made in WAL mode.
    const bool wal = header[18] == 2 || header[19] == 2;
    return version == 0 && schemaCookie == 0 && !wal ? Kind::Empty : Kind::Foreign;
}

void Database::Connect(bool forWrite) {
    // SQLite's count of the memory it holds takes a global lock around every allocation, and a
    // bulk write allocates for every row; nothing here reads the count.
    static const bool uncounted = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    (void)uncounted;
    // A statement's or savepoint's journal stays in memory up to 8 MiB: a tree written in bulk opens
    // one for every batch of keys and values, and in a file each would cost writes of the pages it
    // keeps (60,000 of them for a SOFTWARE-shaped hive of 100,000 keys).
    static const bool journalsInMemory = sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, 8 << 20) == SQLITE_OK;
    (void)journalsInMemory;
    Disconnect();
    connected_ = true;
    if (guarded_ && !Trusted(false)) {
        mayWrite_ = false;
        return;
    }
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
    else mayWrite_ = (!guarded_ || refusal_.empty()) && access((personal_ ? ExistingAncestor(dir) : dir).c_str(), W_OK) == 0;
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
            foreign_ = true;
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
    withoutLogFiles_ = !mayWrite_ && (access((path + "-wal").c_str(), F_OK) != 0 ||
                                      access((path + "-shm").c_str(), F_OK) != 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, withoutLogFiles_ ? readonly::Use() : nullptr) != SQLITE_OK) {
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
        Query schema(*statements_, "SELECT (SELECT count(*) FROM sqlite_schema), "
                                   "(SELECT user_version FROM pragma_user_version), "
                                   "(SELECT application_id FROM pragma_application_id)");
        schema.Step();
        const auto tables = schema.Int(0), version = schema.Int(1), app = schema.Int(2);
        if (app == kApplicationId && version > kSchemaVersion) throw Failure{ERROR_BADDB};
        hasTables_ = version == kSchemaVersion && (app == 0 || app == kApplicationId);
        marked_ = app == kApplicationId;
        foreign_ = !hasTables_ && (tables > 0 || version != 0 || app != 0);
        Query mode(*statements_, "PRAGMA journal_mode");  // asks, changes nothing
        mode.Step();
        walMode_ = mode.Text(0) == "wal";
    } catch (const Failure&) {
        Disconnect();
        connected_ = true;
        throw;
    }
    if (foreign_) {
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
    if (foreign_) throw Failure{ERROR_BADDB};
    for (int attempt = 0; !hasTables_ || !marked_; ++attempt) {
        SetWriting(true);
        try {
            statements_->Exec("BEGIN IMMEDIATE");
            // Another process may have made the tables, or written something else, meanwhile.
            Query schema(*statements_, "SELECT (SELECT count(*) FROM sqlite_schema), "
                                       "(SELECT user_version FROM pragma_user_version), "
                                       "(SELECT application_id FROM pragma_application_id)");
            schema.Step();
            const auto tables = schema.Int(0), version = schema.Int(1), app = schema.Int(2);
            if ((app != 0 && app != kApplicationId) || (version == 0 && tables > 0) || version > kSchemaVersion) {
                leaveLog_ = true;  // not ours to checkpoint
                throw Failure{ERROR_BADDB};
            }
            if (version == 0 && sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_);
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
        hasTables_ = marked_ = true;
    }
    SetWriting(true);
    // Needs a moment alone with the file; when other connections are busy it stays as it is, to be
    // tried again by the next connection.
    if (sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK &&
        (sqlite3_errcode(db_) & 0xFF) != SQLITE_BUSY)
        Fail(db_);
    SetWriting(false);
    {
        Query mode(*statements_, "PRAGMA journal_mode");
        mode.Step();
        wal_ = mode.Text(0) == "wal";
    }
    walMode_ = wal_;
    // Outside WAL mode every commit is synced, as before.
    statements_->Exec(wal_ ? "PRAGMA synchronous = NORMAL" : "PRAGMA synchronous = FULL");
    // The log is copied back by the background flush, and by the commit that finds it this long.
    if (wal_) sqlite3_wal_hook(db_, &Database::LogHook, this);
    statements_->Exec("PRAGMA journal_size_limit = 4194304");
    writeReady_ = true;
}

void Database::Committed() {
    ++localWrites_;
    if (!wal_) return;
    unsynced_ = true;
    if (flushDb_ == nullptr) {
        // The background flush's connection: it syncs the log this one wrote to.
        if (sqlite3_open_v2(OpenPath().c_str(), &flushDb_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0), nullptr) != SQLITE_OK ||
            sqlite3_exec(flushDb_, "PRAGMA journal_size_limit = 4194304; SELECT count(*) FROM sqlite_schema", nullptr,
                         nullptr, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(flushDb_);  // then the log is synced when the store closes
            flushDb_ = nullptr;
            return;
        }
        KeepLogFiles(flushDb_);
    }
    Flusher::Instance().Note(flushDb_);
}

// After each commit: a long log is copied back now. When another connection is copying it back, the
// commit waits for that one as writers wait their turn, and then copies what is left; a reader
// that holds part of the log back is not waited for.
int Database::LogHook(void* self, sqlite3* db, const char*, int pages) {
    auto* database = static_cast<Database*>(self);
    if (pages < kCheckpointPages) {
        // Asked as the log passes each mark, not at every commit: each ask wakes the thread.
        const int band = pages < kEarlyCopyPages ? 0 : pages / kEarlyCopyStep;
        if (band > database->copyAsked_ && database->flushDb_ != nullptr)
            if (Flusher* flusher = Flusher::IfAlive()) flusher->CopyBackSoon(database->flushDb_);
        database->copyAsked_ = band;
        return SQLITE_OK;
    }
    const bool writing = database->writing_;
    database->SetWriting(true);
    for (int count = 0; sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr) == SQLITE_BUSY &&
                        BusyHandler(self, count) != 0;
         ++count) {
    }
    database->SetWriting(writing);
    return SQLITE_OK;
}

void Database::Flush() {
    if (db_ == nullptr || !walMode_) return;
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
    const auto limit = db->writing_ ? std::chrono::steady_clock::duration(kWriterWait)
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
