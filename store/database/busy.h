#pragma once
// How long a call waits for a store file another connection holds locked: SQLite's busy handler for
// the store's connection. A writer waits its turn as long as writers wait; a reader gives up sooner
// (the window must appear), and after it gave up the rest of that look at the store fails at once.
#include <chrono>

namespace store {

class BusyWait {
public:
    // What the connection is doing, which decides how long it waits.
    enum class Mode {
        Reading,   // gives up after kReaderWait, and at once for a while after giving up
        Writing,   // waits as long as writers wait
        Emptying,  // empties a full log before a write: waits until the write's own deadline
    };
    using Clock = std::chrono::steady_clock;

    Mode Current() const { return mode_; }
    void Reading() { mode_ = Mode::Reading; }
    void Writing() { mode_ = Mode::Writing; }
    // Until `until`, then back to writing.
    void Emptying(Clock::time_point until) {
        mode_ = Mode::Emptying;
        emptyingUntil_ = until;
    }

    // sqlite3_busy_handler's callback, `self` a BusyWait: nonzero to try again.
    static int Handler(void* self, int count);

private:
    Mode mode_ = Mode::Reading;
    Clock::time_point emptyingUntil_{};
    Clock::time_point busySince_{};
    Clock::time_point readsFailUntil_{};
};

// Writers wait their turn this long.
constexpr auto kWriterWait = std::chrono::seconds(10);

// Between two tries for a lock: quickly at first, then at a pace that leaves its holder the processor.
void PauseBeforeRetry(int count);

}  // namespace store
