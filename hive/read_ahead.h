#pragma once
// A hive read on a thread of its own while what it holds is taken on the caller's: reading the
// file and writing its keys elsewhere each take a core, so an import lasts about as long as the
// slower of the two, not as long as both.
#include "hive.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace hive {

using TreeReader = std::function<ReadReport(Visitor&)>;

// Runs `read` on another thread and gives `visitor` the calls it made, in their order, on this
// one. The reader runs at most a few MiB ahead of the visitor. A failure of `read` is thrown here
// once the visitor has had every call made before it; a failure of the visitor stops the reader
// and is thrown as it was. `read` must not call into what `visitor` uses. `keysRead`, when given,
// counts the keys the reader has handed over so far, for a progress line on the visitor's side.
ReadReport ReadAhead(const TreeReader& read, Visitor& visitor, std::atomic<std::uint64_t>* keysRead = nullptr);

}  // namespace hive
