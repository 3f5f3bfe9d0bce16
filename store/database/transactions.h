#pragma once
// Transactions: a registry write is one transaction of its own, or a savepoint inside a
// RunInStoreTransaction, which holds one transaction on each store file it writes to. A read of
// several statements sees one state of the store.
#include "database.h"

#include <cstdint>
#include <map>

namespace store {

class Transactions {
public:
    // RunInStoreTransaction's levels. After a store failure inside them every later call fails the
    // same way: SQLite may have rolled the whole transaction back, and a write now would commit alone.
    int depth = 0;
    LONG failure = ERROR_SUCCESS;
    // Counts the transactions begun on any file: what was read inside one holds while it is the same.
    std::uint64_t begun = 0;

    void Enter() { ++depth; }
    // Ends the innermost level on every file it wrote to: kept when `result` is ERROR_SUCCESS and
    // the store took it, else undone. Returns the level's result.
    LONG Leave(LONG result);
    // Opens this level (and the ones around it) on a file about to be written.
    void Join(Database& db, StatementCache& s);
    // Undoes everything still open, for a level left by an exception.
    void Abandon();

private:
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
