// A store file's connection: its states and the moves between them, each one asserted.
//
// The connection's states (State). Every change goes through Enter, which asserts that the machine
// has the move and what holds after it:
//
//   Closed     No connection, no file open (db_, flushDb_ null, file_ closed). The next call looks
//              at the file afresh (Connect). Entered by Disconnect, from any state.
//   Inherited  A forked child's copy of the parent's connection, as the parent left it: never used,
//              closed without a checkpoint (leaveLog_) by the next call. Entered by Inherited, from
//              any state.
//   Refused    A guarded store whose folders the real user may not trust: no connection, may not
//              write, Refusal() says why. Entered by Trusted, from Closed (it closes what was open).
//   NoStore    Nothing to read: no file, or an empty one. A connection may be open (with its
//              statements), for the first write. Entered by Connect, from Closed.
//   Foreign    Another program's database: never opened again, never written (no connection).
//              Entered by Connect, from NoStore. (A store of a later version is refused with
//              ERROR_BADDB, and stays NoStore.)
//   Unmarked   A store made before stores were marked, open for reads; the first write marks it.
//              Entered by Connect, from NoStore.
//   Store      A store, open for reads (connection and statements). Entered by Connect, from
//              NoStore; by PrepareForWrites from NoStore (tables made) and Unmarked (marked).
//   Writable   A store open for writes: marked, and this process may write it. Entered by
//              PrepareForWrites, from Store, which then sets the journal and durability: WAL mode
//              where the file could be switched to it; a file others kept busy stays in Rollback
//              until a write finds it switched (BeginWrite).
//
// Beside it, the journal as the connection knows it (Journal), changed through Enter too:
//   Rollback   not (known to be) in WAL mode; the only journal without a connection. Entered from
//              any journal: by closing (Disconnect), and by WriteIn for a file not in WAL mode.
//   Wal        the file is in WAL mode (Connect, once the first read found it so), from Rollback.
//   Writer     Writable, writing in the log (WriteIn, from Rollback or Wal); none of its commits
//              waits for a sync. From Unsynced once Flush synced the log, or the file went with it.
//   Unsynced   Writer with a commit this connection has not synced (Committed), from Writer or
//              Unsynced: the background flush syncs it within kFlushBound, Flush and closing at once.
//   Unlogged   Writable, a store being built in a file no other process knows: no log (its
//              journal in memory), no sync until SealAt switches it to WAL, syncs and places it.
//              From Rollback, once.
#include "database.h"

#include "statements.h"
#include "store_file.h"

#include <cassert>

namespace store {

void Database::Enter(State to) {
    [[maybe_unused]] const State from = state_;
    switch (to) {
        case State::Closed:
        case State::Inherited:
            break;  // from any state
        case State::Refused:
        case State::NoStore:
            assert(from == State::Closed);
            break;
        case State::Foreign:
        case State::Unmarked:
            assert(from == State::NoStore);
            break;
        case State::Store:
            assert(from == State::NoStore || from == State::Unmarked);
            break;
        case State::Writable:
            assert(from == State::Store);
            break;
    }
    state_ = to;
    AssertState();
}

void Database::Enter(Journal to) {
    [[maybe_unused]] const Journal from = journal_;
    switch (to) {
        case Journal::Rollback:
            break;  // from any journal
        case Journal::Wal:
            assert(from == Journal::Rollback);
            break;
        case Journal::Writer:
            assert(from == Journal::Rollback || from == Journal::Wal || from == Journal::Unsynced);
            break;
        case Journal::Unsynced:
            assert(from == Journal::Writer || from == Journal::Unsynced);
            break;
        case Journal::Unlogged:
            assert(building_ && from == Journal::Rollback);
            break;
    }
    journal_ = to;
    AssertState();
}

void Database::AssertState() const {
    switch (state_) {
        case State::Closed:
            assert(db_ == nullptr && flushDb_ == nullptr && !file_->IsOpen());
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
    assert(journal_ == Journal::Rollback || journal_ == Journal::Wal || state_ == State::Writable ||
           state_ == State::Inherited);
    assert(journal_ != Journal::Unlogged || building_);
}

}  // namespace store
