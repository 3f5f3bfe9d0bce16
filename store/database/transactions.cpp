#include "transactions.h"

#include "statements.h"

#include <cassert>

namespace store {
namespace {

// The most of a store file a snapshot maps, 32 MiB: a small store read whole through it, and an
// export's memory, which the mapped pages count in, kept within its bound (64 MiB and its largest
// value) whatever the size of the store. Statements are kept by their text, which must outlive
// them: a literal.
constexpr const char* kMapForSnapshot = "PRAGMA mmap_size = 33554432";
constexpr const char* kMapNone = "PRAGMA mmap_size = 0";

}  // namespace

void Transactions::AssertLevels() const {
    assert(depth_ >= 0);
    assert(depth_ > 0 || (failure_ == ERROR_SUCCESS && open_.empty()));
    for ([[maybe_unused]] const auto& [db, levels] : open_) assert(levels > 0 && levels <= depth_);
}

void Transactions::Begin() {
    ++depth_;
    AssertLevels();
}

void Transactions::Fail(LONG code) {
    assert(depth_ > 0 && code != ERROR_SUCCESS);
    assert(failure_ == ERROR_SUCCESS || failure_ == code);  // a later call fails before it starts
    failure_ = code;
}

void Transactions::Join(Database& db, StatementCache& s) {
    assert(depth_ > 0 && failure_ == ERROR_SUCCESS);
    int& levels = open_[&db];
    while (levels < depth_) {
        if (levels == 0) {
            db.SetWriting(true);  // until the transaction ends
            try {
                db.BeginWrite(s);
                ++begun_;
            } catch (...) {
                db.SetWriting(false);
                open_.erase(&db);
                throw;
            }
        } else {
            s.Exec("SAVEPOINT outer");
        }
        ++levels;
    }
    AssertLevels();
}

Transactions::Ended Transactions::End(LONG result) {
    assert(depth_ > 0);
    if (failure_ != ERROR_SUCCESS) result = failure_;
    for (auto it = open_.begin(); it != open_.end();) {
        Database& db = *it->first;
        int& levels = it->second;
        if (levels == depth_) {
            StatementCache& s = db.ForWrite();
            const bool outermost = levels == 1;
            if (result == ERROR_SUCCESS) {
                try {
                    s.Exec(outermost ? "COMMIT" : "RELEASE outer");
                    if (outermost) db.Committed();
                } catch (const Failure& f) {
                    result = f.code;
                }
            }
            if (result != ERROR_SUCCESS) {
                db.Touched();  // what was read inside no longer holds
                if (outermost) s.TryExec("ROLLBACK");
                else {
                    s.TryExec("ROLLBACK TO outer");
                    s.TryExec("RELEASE outer");
                }
            }
            if (outermost) db.SetWriting(false);
            --levels;
        }
        it = levels == 0 ? open_.erase(it) : std::next(it);
    }
    --depth_;
    const bool failedStore = depth_ == 0 && failure_ != ERROR_SUCCESS;
    if (depth_ == 0) failure_ = ERROR_SUCCESS;
    AssertLevels();
    return {result, failedStore};
}

void Transactions::Abandon() {
    assert(depth_ > 0);
    for (auto& [db, levels] : open_) {
        if (levels != depth_) continue;
        StatementCache& s = db->ForWrite();
        db->Touched();
        if (levels == 1) {
            s.TryExec("ROLLBACK");
            db->SetWriting(false);
        } else {
            s.TryExec("ROLLBACK TO outer");
            s.TryExec("RELEASE outer");
        }
        --levels;
    }
    std::erase_if(open_, [](const auto& entry) { return entry.second == 0; });
    --depth_;
    if (depth_ == 0) failure_ = ERROR_SUCCESS;
    AssertLevels();
}

WriteScope::WriteScope(Transactions& t, Database& db) : db_(db), s_(db.ForWrite()), nested_(t.Open()) {
    db_.Touched();
    if (nested_) {
        t.Join(db, s_);
        s_.Exec("SAVEPOINT write");
        return;
    }
    db_.SetWriting(true);  // until the transaction ends
    try {
        db_.BeginWrite(s_);
    } catch (...) {
        db_.SetWriting(false);
        throw;
    }
}

void WriteScope::Commit() {
    s_.Exec(nested_ ? "RELEASE write" : "COMMIT");
    done_ = true;  // a failed COMMIT is rolled back by the destructor
    if (!nested_) {
        db_.SetWriting(false);
        db_.Committed();
    }
}

WriteScope::~WriteScope() {
    if (done_) return;
    db_.Touched();
    if (nested_) {
        s_.TryExec("ROLLBACK TO write");
        s_.TryExec("RELEASE write");
    } else {
        s_.TryExec("ROLLBACK");
        db_.SetWriting(false);
    }
}

Snapshot::Snapshot(Database& db, StatementCache& s) : db_(db) {
    if (sqlite3_get_autocommit(s.Db()) == 0) return;
    // The file's pages read through a mapping rather than a read call each: a whole key walked
    // reads most of them. The file never shrinks in place (no vacuum; a replacement is a new file),
    // so no page mapped can go from under the walk.
    s.Exec(kMapForSnapshot);
    try {
        s.Exec("BEGIN");
    } catch (...) {
        s.TryExec(kMapNone);
        throw;
    }
    began_ = s.Db();
    static std::uint64_t stamps = 0;
    db.HoldSnapshot(++stamps);
}

void Snapshot::End() {
    if (began_ == nullptr) return;
    db_.HoldSnapshot(0);
    const bool same = db_.Connection() == began_;
    began_ = nullptr;
    // A store failure may have closed the connection, and the transaction with it.
    StatementCache* s = same ? db_.ForRead() : nullptr;
    if (s == nullptr) return;
    if (sqlite3_get_autocommit(s->Db()) == 0) {
        try {
            s->Exec("COMMIT");
        } catch (...) {
            s->TryExec("ROLLBACK");
        }
    }
    s->TryExec(kMapNone);
}

ReadScope::ReadScope(StatementCache& s) : s_(s), began_(sqlite3_get_autocommit(s.Db()) != 0) {
    if (began_) s_.Exec("BEGIN");
}

ReadScope::~ReadScope() {
    if (!began_) return;
    try {
        s_.Exec("COMMIT");
    } catch (...) {
        s_.TryExec("ROLLBACK");
    }
}

}  // namespace store
