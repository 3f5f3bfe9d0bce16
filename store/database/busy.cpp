#include "busy.h"

#include <unistd.h>

namespace store {
namespace {

using namespace std::chrono_literals;

constexpr auto kReaderWait = 1s;            // a reader gives up sooner: the window must appear
constexpr auto kLockedStoreQuiet = 1500ms;  // after a reader gave up, later reads fail at once

}  // namespace

void PauseBeforeRetry(int count) {
    usleep(count < 20 ? 100 : 2000);
}

int BusyWait::Handler(void* self, int count) {
    auto* wait = static_cast<BusyWait*>(self);
    const auto now = Clock::now();
    if (count == 0) wait->busySince_ = now;
    if (wait->mode_ == Mode::Emptying) {
        // Emptying a full log: for the lock or its readers, as long as the write waits in all.
        if (now >= wait->emptyingUntil_) return 0;
        PauseBeforeRetry(count);
        return 1;
    }
    const bool writing = wait->mode_ == Mode::Writing;
    const auto limit = writing                       ? Clock::duration(kWriterWait)
                       : now < wait->readsFailUntil_ ? Clock::duration::zero()
                                                     : Clock::duration(kReaderWait);
    if (now - wait->busySince_ >= limit) {
        // The rest of this look at the store fails at once: one state, not a mix.
        if (!writing) wait->readsFailUntil_ = now + kLockedStoreQuiet;
        return 0;
    }
    PauseBeforeRetry(count);
    return 1;
}

}  // namespace store
