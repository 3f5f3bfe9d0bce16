// A store connection's writes: each begins within the log's bound (a log without room is emptied
// first), and each commit is synced by the background flush within kFlushBound, or at once by Flush.
#include "database.h"

#include "busy.h"
#include "flusher.h"
#include "log.h"
#include "statements.h"

namespace store {
void Database::WriteIn(bool wal) {
    // Outside WAL mode every commit is synced, as before.
    statements_->Exec(wal ? "PRAGMA synchronous = NORMAL" : "PRAGMA synchronous = FULL");
    // The log is copied back by the write that finds it full (BeginWrite) and by the background
    // flush once the store is quiet; never by SQLite inside a commit.
    if (wal) sqlite3_wal_autocheckpoint(db_, 0);
    statements_->Exec(LogLimitSql());
    Enter(wal ? Journal::Writer : Journal::Rollback);
}

void Database::Committed() {
    ++localWrites_;
    if (journal_ != Journal::Writer && journal_ != Journal::Unsynced) return;
    Enter(Journal::Unsynced);
    if (flushDb_ == nullptr) {
        // The background flush's connection: it syncs the log this one wrote to.
        if (sqlite3_open_v2(OpenPath().c_str(), &flushDb_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (guarded_ ? SQLITE_OPEN_NOFOLLOW : 0),
                            StoreVfs()) != SQLITE_OK ||
            sqlite3_exec(flushDb_, (LogLimitSql() + "; SELECT count(*) FROM sqlite_schema").c_str(), nullptr, nullptr,
                         nullptr) != SQLITE_OK) {
            sqlite3_close_v2(flushDb_);  // then the log is synced when the store closes
            flushDb_ = nullptr;
            return;
        }
        KeepLogFiles(flushDb_);
    }
    Flusher::Instance().Note(flushDb_);
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
        if ((journal_ != Journal::Writer && journal_ != Journal::Unsynced) || LogFits()) return;
        s.Exec("ROLLBACK");  // nothing written yet
        if (std::chrono::steady_clock::now() >= until) {
            // A reader held its part of the log, or copies went on, as long as writers wait: the
            // write goes on, and the log grows while they last.
            s.Exec("BEGIN IMMEDIATE");
            return;
        }
        EmptyLog(until);
    }
}

// Copied back whole while the checkpoint holds the write lock, so that no writer appends in
// between; every reader of the log is waited for. The log is then started over by the next write
// (its readers read the file from now on), which overwrites it in place: cutting the file to
// nothing and growing it again costs a run of small writes a third of their time. A log too long
// to take one more write should that not happen (a reader that had looked at the log before the
// copy ended reads in it still) is cut to nothing now. Another connection's copy under way holds
// the checkpoint lock, which SQLite does not wait for: it is waited for here, without taking the
// write lock or a read lock meanwhile (polling them would keep that copy waiting for them), until
// it has emptied the log or let go.
void Database::EmptyLog(std::chrono::steady_clock::time_point until) {
    const BusyWait::Mode before = busy_->Current();
    busy_->Emptying(until);
    const auto length = LogLengthOf(db_);
    const int mode = !length || LogHasRoom(length->frames, length->pageSize) ? SQLITE_CHECKPOINT_RESTART
                                                                             : SQLITE_CHECKPOINT_TRUNCATE;
    for (int count = 0;; ++count) {
        // The other copy emptied it (read without a lock: looked at again in the transaction).
        if (count > 0 && LogFits()) break;
        int logFrames = -1, copied = -1;
        const int rc = sqlite3_wal_checkpoint_v2(db_, "main", mode, &logFrames, &copied);
        if (rc == SQLITE_OK || (rc & 0xFF) != SQLITE_BUSY) {
            if (before == BusyWait::Mode::Writing) busy_->Writing();
            else busy_->Reading();
            if (rc != SQLITE_OK) Fail(db_);
            break;
        }
        // Had the checkpoint lock and waited as long as writers wait.
        if (logFrames >= 0 || std::chrono::steady_clock::now() >= until) break;
        PauseBeforeRetry(count);
    }
    if (before == BusyWait::Mode::Writing) busy_->Writing();
    else busy_->Reading();
}

bool Database::LogFits() {
    const auto length = LogLengthOf(db_);
    if (!length) return true;
    // Room for this write and the next; or for this one in a log copied back whole, which this
    // write starts over unless a reader still reads in it, and the next finds it longer and cuts it.
    const bool copiedBack = length->copiedBack == length->frames;
    return LogHasRoom(length->frames, length->pageSize, copiedBack ? 1 : 2);
}

void Database::Flush() {
    // A store being built is made durable when sealed: until then it is no store of anyone's.
    if (db_ == nullptr || journal_ == Journal::Rollback || journal_ == Journal::Unlogged) return;
    // The log holds every commit not yet in the file, by any process, and the file is synced before
    // a checkpoint counts as done. The checkpoint leaves the log with nothing the file lacks.
    if (mayWrite_) sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (SyncLog(db_) != SQLITE_OK) throw Failure{ERROR_CANTWRITE};
    if (journal_ == Journal::Unsynced) Enter(Journal::Writer);
}

}  // namespace store
