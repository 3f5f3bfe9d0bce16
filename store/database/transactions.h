#pragma once
// Transactions: a registry write is one transaction of its own, or a savepoint inside a
// RunInStoreTransaction, which holds one transaction on each store file it writes to. A read of
// several statements sees one state of the store.
#include "database.h"

#include <cstdint>
#include <map>

namespace store {

// RunInStoreTransaction's levels, nested. Every move goes through an operation that asserts it:
//   none open --Begin--> one open --Begin--> more open ... each left by End or Abandon;
//   a level open --Fail--> failed: after a store failure inside the levels every later call fails
//     the same way (SQLite may have rolled the whole transaction back, and a write now would commit
//     alone) until the outermost ends, which takes the failure with it.
// With none open, no failure stands and no file is joined.
class Transactions {
public:
    // The outcome of a level that ended.
    struct Ended {
        LONG result;  // the body's, the store failure that stood, or the commit's
        // The outermost level ended after a store failure: the files may have been replaced or
        // repaired, so the connections start afresh.
        bool failedStore;
    };

    bool Open() const { return depth_ > 0; }
    // The store failure inside the levels open, or ERROR_SUCCESS.
    LONG Failed() const { return failure_; }
    // Counts the transactions begun on any file: what was read inside one holds while it is the same.
    std::uint64_t Begun() const { return begun_; }

    void Begin();
    // A store failure inside the levels open: the first one stands until the outermost level ends.
    void Fail(LONG code);
    // Ends the innermost level on every file it wrote to: kept when `result` is ERROR_SUCCESS and
    // no failure stands and the store took it, else undone.
    Ended End(LONG result);
    // Undoes everything the innermost level holds, for one left by an exception; the outermost
    // takes a failure that stood with it.
    void Abandon();
    // Opens this level (and the ones around it) on a file about to be written.
    void Join(Database& db, StatementCache& s);

private:
    void AssertLevels() const;

    int depth_ = 0;
    LONG failure_ = ERROR_SUCCESS;
    std::uint64_t begun_ = 0;
    std::map<Database*, int> open_;  // the file and how many levels are open on it
};

class WriteScope {
public:
    WriteScope(Transactions& t, Database& db);
    ~WriteScope();
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;

    StatementCache& S() { return s_; }
    void Commit();

private:
    Database& db_;
    StatementCache& s_;
    bool nested_;
    bool done_ = false;
};

// A read transaction that spans many registry calls (RunInStoreSnapshot): begun when none is open
// on the connection, so that the calls' ReadScopes begin none and all of them read one state of the
// file, with no lock or file check of their own.
class Snapshot {
public:
    Snapshot(Database& db, StatementCache& s);
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    // Ends what it began, on the connection it began on; nothing when that connection is gone (a
    // store failure disconnects, and ends the transaction with it).
    void End();

private:
    Database& db_;
    sqlite3* began_ = nullptr;
};

class ReadScope {
public:
    explicit ReadScope(StatementCache& s);
    ~ReadScope();
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    StatementCache& s_;
    bool began_;
};

}  // namespace store
