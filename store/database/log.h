#pragma once
// The write-ahead log (the store's `-wal` file) and its index (`-shm`), as SQLite lays them out,
// and the bound on the log's size: a write starts the log over before it could take it past
// kLogSizeLimit.
#include "schema.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace store {

// The index file starts with two copies of its header, in the machine's byte order.
constexpr std::size_t kIndexHeaderBytes = 48;
constexpr std::size_t kIndexIsInit = 12;    // u8: 1 once built
constexpr std::size_t kIndexPageSize = 14;  // u16: the page size, 1 for 65536
constexpr std::size_t kIndexFrames = 16;    // u32: frames in the log, the last commit's included
constexpr std::size_t kIndexPages = 20;     // u32: the file's size in pages after that commit
// After the two copies, the copy-back's own record: how many of the log's frames are in the file.
constexpr std::size_t kIndexCopiedBack = 2 * kIndexHeaderBytes;  // u32

// The log file: a header, then for each page written a frame, its own header before the page.
constexpr std::int64_t kLogHeaderBytes = 32;
constexpr std::int64_t kFrameHeaderBytes = 24;
// A write that changes no more than this many bytes of pages (a value of up to about 240 KiB and
// the tree pages around it) never takes the log past kLogSizeLimit; a larger one may grow it
// while it writes.
constexpr std::int64_t kBoundedWriteBytes = 256 * 1024;

// The page size the index header holds (`raw`, 1 meaning 65536).
constexpr std::int64_t IndexPageSize(std::uint16_t raw) {
    return raw == 1 ? 65536 : raw;
}

// Whether `writes` writes may append to a log of `frames` frames of `pageSize` bytes and stay within
// kLogSizeLimit, whatever each writes up to kBoundedWriteBytes.
constexpr bool LogHasRoom(std::int64_t frames, std::int64_t pageSize, int writes = 1) {
    const std::int64_t reserve = writes * ((kBoundedWriteBytes + pageSize - 1) / pageSize);
    return kLogHeaderBytes + (frames + reserve) * (pageSize + kFrameHeaderBytes) <= kLogSizeLimit;
}

// An empty log has room for such writes at every page size SQLite takes: otherwise every write
// would wait to empty it.
static_assert(LogHasRoom(0, 512, 2) && LogHasRoom(0, 65536, 2));
// And at 4 KiB pages, the log is emptied once it nears 4 MiB, not far sooner.
static_assert(LogHasRoom(950, 4096) && !LogHasRoom(956, 4096) && LogHasRoom(880, 4096, 2));

// The log's length in frames, how many of them are copied back into the file, and its page size,
// from the index of `db`'s connection, which must be inside a transaction in WAL mode (it maps the
// index). Exact while it holds the write lock.
struct LogLength {
    std::int64_t frames;
    std::int64_t pageSize;
    std::int64_t copiedBack;
};
std::optional<LogLength> LogLengthOf(sqlite3* db);

// The statement that has the log cut back to kLogSizeLimit whenever it is copied back.
const std::string& LogLimitSql();
// Keeps the log and its index after the connection, the last one, closes: a user who may only read
// the store can still read it.
void KeepLogFiles(sqlite3* db);

// The log's index (the -shm file beside `path`) as the last commit left it: both copies of its
// header alike, initialised, and no frame in the log. Whether the page count it holds is another
// than the file's (`fd`, open on it) tells that it was left by another file that had the name. With
// `forget`, it is marked uninitialised, so that the next connection builds it again from the (empty)
// log; returns whether the caller must keep an index of its own instead (it may not write the index).
bool IndexOfAnotherFile(const std::string& path, int fd, bool forget);

}  // namespace store
