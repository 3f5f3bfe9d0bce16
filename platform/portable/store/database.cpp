// A store file's connection. Durability: the store runs in WAL mode with synchronous=NORMAL. A
// commit is written to the log before the call returns, so a killed process loses nothing; the log
// is synced by a background thread within a fraction of a second, by RegFlushKey, and when the store
// is closed cleanly, so a power cut loses at most the last moment of writes, and never part of one
// (the log's checksums drop an unfinished transaction). The log and its index are kept after the
// last connection closes, so a user who may only read the store can still read it.
#include "database.h"

#include "trusted_path.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace store {
namespace {

using namespace std::chrono_literals;

constexpr int kSchemaVersion = 1;
constexpr auto kWriterWait = 10s;  // writers wait their turn this long
constexpr auto kReaderWait = 1s;   // a reader gives up sooner: the window must appear
constexpr auto kLockedStoreQuiet = 1500ms;  // after a reader gave up, later reads fail at once
constexpr auto kFlushDelay = 200ms;

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
)sql";

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

// The background flush: one thread, woken by commits, that syncs the log of every store written
// since it last looked and copies the log back into the database file. It runs on a connection of
// its own and ends after a quiet spell.
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
        std::thread* thread = nullptr;
        {
            std::lock_guard lock(*mutex_);
            stop_ = true;
            thread = thread_;
            thread_ = nullptr;
            wake_->notify_all();
        }
        if (thread != nullptr) {
            thread->join();
            delete thread;
        }
    }

    void Note(const std::string& path) {
        std::lock_guard lock(*mutex_);
        if (stop_) return;
        files_[path].dirty = true;
        if (running_) return;
        if (thread_ != nullptr) {  // ended after its quiet spell
            thread_->join();
            delete thread_;
        }
        running_ = true;
        thread_ = new std::thread([this] { Run(); });
    }

    // The store was closed cleanly and synced: nothing left to do for it, and no connection of
    // ours stays open on it once this returns.
    void Forget(const std::string& path) {
        {
            std::lock_guard lock(*mutex_);
            auto it = files_.find(path);
            if (it == files_.end()) return;
            it->second.dirty = false;
        }
        std::lock_guard work(*work_);
    }

    void BeforeFork() {
        mutex_->lock();
        work_->lock();
    }
    void AfterForkInParent() {
        work_->unlock();
        mutex_->unlock();
    }
    // The thread is not in the child; its locks and connections belong to the parent.
    void AfterForkInChild() {
        mutex_ = new std::mutex;
        wake_ = new std::condition_variable;
        work_ = new std::mutex;
        thread_ = nullptr;
        running_ = false;
        files_.clear();
    }

private:
    struct File {
        bool dirty = false;
    };

    void Run() {
        std::unique_lock lock(*mutex_);
        int quiet = 0;
        while (!stop_ && quiet < 10) {
            wake_->wait_for(lock, kFlushDelay, [&] { return stop_; });
            std::vector<std::pair<std::string, File*>> due;
            for (auto& [path, file] : files_)
                if (file.dirty) {
                    file.dirty = false;
                    due.emplace_back(path, &file);
                }
            quiet = due.empty() ? quiet + 1 : 0;
            if (due.empty()) continue;
            lock.unlock();
            {
                std::lock_guard work(*work_);
                for (auto& [path, file] : due) Flush(path);
            }
            lock.lock();
        }
        std::lock_guard work(*work_);
        for (auto& [path, file] : files_)
            if (file.dirty) Flush(path);  // what came in while stopping is flushed on the way out
        running_ = false;
    }

    // On a connection of its own, closed again at once: an open one would keep other programs from
    // locking the file while this process has let go of it.
    static void Flush(const std::string& path) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 100);
            KeepLogFiles(db);
            // The checkpoint syncs the log before it copies it; the sync after covers a checkpoint
            // that a reader held back.
            sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            SyncLog(db);
        }
        sqlite3_close_v2(db);
    }

    // Made anew in a forked child, never destroyed there: the parent's thread may have held them.
    std::mutex* mutex_ = new std::mutex;
    std::condition_variable* wake_ = new std::condition_variable;
    std::mutex* work_ = new std::mutex;  // held while the thread is inside SQLite
    std::thread* thread_ = nullptr;
    bool running_ = false;
    bool stop_ = false;
    std::map<std::string, File> files_;
    static inline bool alive_ = false;
};

}  // namespace

void BeforeFork() { Flusher::Instance().BeforeFork(); }
void AfterForkInParent() { Flusher::Instance().AfterForkInParent(); }
void AfterForkInChild() { Flusher::Instance().AfterForkInChild(); }

Database::Database(std::string path, StoreAccess access, bool personal, bool guarded)
    : path_(std::move(path)), access_(access), personal_(personal), guarded_(guarded) {}

Database::~Database() { Disconnect(); }

void Database::Disconnect() {
    cache_.Detach();
    if (db_ != nullptr) {
        if (unsynced_) {
            SyncLog(db_);
            if (Flusher* flusher = Flusher::IfAlive()) flusher->Forget(path_);
        }
        statements_.reset();
        sqlite3_close_v2(db_);
    }
    db_ = nullptr;
    connected_ = false;
    hasTables_ = foreign_ = writeReady_ = wal_ = walMode_ = unsynced_ = false;
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

void Database::Connect(bool forWrite) {
    Disconnect();
    connected_ = true;
    if (guarded_ && !Trusted(false)) {
        mayWrite_ = false;
        return;
    }
    const std::string& path = guarded_ ? openPath_ : path_;
    const std::string dir = DirectoryOf(path);
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) throw Failure{errno == EACCES ? LONG{ERROR_ACCESS_DENIED} : LONG{ERROR_CANTREAD}};
    if (access_ == StoreAccess::ReadOnly) mayWrite_ = false;
    else if (exists) mayWrite_ = access(path.c_str(), W_OK) == 0 && access(dir.c_str(), W_OK) == 0;
    else mayWrite_ = (!guarded_ || refusal_.empty()) && access((personal_ ? ExistingAncestor(dir) : dir).c_str(), W_OK) == 0;
    if (!exists) {
        if (!forWrite) return;  // an empty store, until the first write
        if (!mayWrite_) throw Failure{ERROR_ACCESS_DENIED};
        MakeFile();
    } else if (access(path.c_str(), R_OK) != 0) {
        throw Failure{ERROR_ACCESS_DENIED};
    }

    // SQLite's count of the memory it holds takes a global lock around every allocation, and a
    // bulk write allocates for every row; nothing here reads the count.
    static const bool uncounted = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
    (void)uncounted;
    const int flags = (mayWrite_ ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX |
                      (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
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
        Query schema(*statements_, "SELECT (SELECT count(*) FROM sqlite_schema), "
                                   "(SELECT user_version FROM pragma_user_version)");
        schema.Step();
        const auto tables = schema.Int(0), version = schema.Int(1);
        if (version > kSchemaVersion) throw Failure{ERROR_BADDB};
        hasTables_ = version == kSchemaVersion;
        foreign_ = version == 0 && tables > 0;
        Query mode(*statements_, "PRAGMA journal_mode");  // asks, changes nothing
        mode.Step();
        walMode_ = mode.Text(0) == "wal";
    } catch (const Failure&) {
        Disconnect();
        connected_ = true;
        throw;
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

// The first write of this connection: makes the tables in a new (empty) file, refuses another
// program's database, and switches to the write-ahead log.
void Database::PrepareForWrites() {
    if (foreign_) throw Failure{ERROR_BADDB};
    if (!hasTables_) {
        SetWriting(true);
        statements_->Exec("BEGIN IMMEDIATE");
        try {
            // Another process may have made the tables, or written something else, meanwhile.
            Query schema(*statements_, "SELECT (SELECT count(*) FROM sqlite_schema), "
                                       "(SELECT user_version FROM pragma_user_version)");
            schema.Step();
            const auto tables = schema.Int(0), version = schema.Int(1);
            if (version == 0 && tables > 0) throw Failure{ERROR_BADDB};
            if (version == 0 && sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db_);
            statements_->Exec("COMMIT");
        } catch (...) {
            statements_->TryExec("ROLLBACK");
            SetWriting(false);
            throw;
        }
        SetWriting(false);
        hasTables_ = true;
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
    // The background flush copies the log back; commits never wait for that.
    if (wal_) sqlite3_wal_autocheckpoint(db_, 0);
    statements_->Exec("PRAGMA journal_size_limit = 4194304");
    writeReady_ = true;
}

void Database::Committed() {
    ++localWrites_;
    if (!wal_) return;
    unsynced_ = true;
    Flusher::Instance().Note(path_);
}

void Database::Flush() {
    if (db_ == nullptr || !wal_) return;
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
