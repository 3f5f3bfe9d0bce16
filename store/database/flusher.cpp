#include "flusher.h"

#include "database.h"

namespace store {

int SyncLog(sqlite3* db) {
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) != SQLITE_OK) return SQLITE_OK;
    if (log == nullptr || log->pMethods == nullptr) return SQLITE_OK;  // no log open: nothing waits
    return log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
}

void Flusher::Run() {
    std::unique_lock guard(*mutex_);
    phase_ = Phase::Gathering;
    wake_->notify_all();
    while (!stop_) {
        if (due_.empty() && quiet_.empty()) {
            phase_ = Phase::Idle;
            wake_->wait(guard, [&] { return stop_ || !due_.empty(); });
            phase_ = Phase::Gathering;
            continue;
        }
        wake_->wait_for(guard, kFlushBound / 2, [&] { return stop_; });
        if (stop_) break;
        guard.unlock();
        std::lock_guard work(*work_);  // held while inside SQLite: a fork waits for it
        guard.lock();
        std::set<sqlite3*> sync, quiet, notEmptied;
        sync.swap(due_);
        // Written last round and not since: copied back now, and the log emptied, so that its
        // frames, which go by the file's name, can never be read into a file renamed over this one.
        // While writes go on, the write that finds the log full copies it back (writes.cpp): copies
        // here too would sync the file again and again under them.
        for (sqlite3* db : quiet_)
            if (!sync.contains(db)) quiet.insert(db);
        quiet_ = sync;
        phase_ = Phase::Round;
        guard.unlock();
        for (sqlite3* db : sync) SyncLog(db);
        for (sqlite3* db : quiet) {
            // Never waits: with a writer or a reader inside the log it copies what it may, and
            // tries again next round.
            if (sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) != SQLITE_OK)
                notEmptied.insert(db);
            SyncLog(db);
        }
        guard.lock();
        for (sqlite3* db : notEmptied)
            if (!due_.contains(db)) quiet_.insert(db);
        phase_ = Phase::Gathering;
        done_->notify_all();
    }
    // Stopping: what is left is synced when its store is closed.
}

void BeforeFork() {
    Flusher::Instance().BeforeFork();
}
void AfterForkInParent() {
    Flusher::Instance().AfterForkInParent();
}
void AfterForkInChild() {
    Flusher::Instance().AfterForkInChild();
}

}  // namespace store
