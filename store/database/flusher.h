#pragma once
#include "schema.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace store {

// A commit reaches the disk within this time, without RegFlushKey.
constexpr std::chrono::milliseconds kFlushBound{200};

// Makes the WAL file durable: every transaction committed to it so far survives a power cut.
int SyncLog(sqlite3* db);

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
        if (phase_ == Phase::Idle) wake_->notify_one();
        if (thread_ != nullptr) return;
        thread_ = new std::thread([this] { Run(); });
        wake_->wait(guard, [&] { return phase_ != Phase::Unstarted; });
    }

    // The connection is about to close: once this returns the thread no longer uses it.
    void Forget(sqlite3* db) {
        std::unique_lock guard(*mutex_);
        done_->wait(guard, [&] { return phase_ != Phase::Round; });  // a round may put it back
        due_.erase(db);
        quiet_.erase(db);
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
        phase_ = Phase::Unstarted;
        due_.clear();
        quiet_.clear();
    }

private:
    void Run();

    // Made anew in a forked child, never destroyed there: the parent's thread may have held them.
    std::mutex* mutex_ = new std::mutex;
    std::mutex* work_ = new std::mutex;
    std::condition_variable* wake_ = new std::condition_variable;
    std::condition_variable* done_ = new std::condition_variable;
    std::thread* thread_ = nullptr;
    // Where the thread is, changed by it alone (under mutex_).
    enum class Phase {
        Unstarted,  // no thread yet: Note starts it, and waits until it has left this phase
        Idle,       // waiting for a commit
        Gathering,  // waiting for the next round, or for a long log to start it early
        Round,      // syncing and copying back outside the lock: a connection waits before closing
    };
    Phase phase_ = Phase::Unstarted;
    bool stop_ = false;         // asked to stop, in whatever phase: it ends at the next look
    std::set<sqlite3*> due_;    // written since the thread last looked
    std::set<sqlite3*> quiet_;  // synced last round: copied back if not written since
    static inline bool alive_ = false;
};

}  // namespace store
