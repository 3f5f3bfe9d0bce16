#pragma once
// Writing out early. A store's file and log are synced when a commit must be durable and when the
// log is copied back; a large write (a hive's import: tens of MiB) would have the sync wait for all
// of it at the end, the disk idle until then. Instead, once a file has taken kWritebackBytes since
// its last start, the system is asked to start writing it out (sync_file_range, which does not
// wait), so that the sync finds little left. Small writes are unchanged.
#include <cstdint>

namespace store {

constexpr std::uint64_t kWritebackBytes = 1 << 20;

// Puts it under SQLite's unix file layer (its pwrite64), for every file it writes in this process.
// Once, before the first connection opens.
void StartWritesEarly();

}  // namespace store
