#pragma once
// The store file's format: what marks a file as a store, its tables, and the limits on what it holds.
#include <cstddef>
#include <cstdint>

#include "winapi.h"

namespace store {

// The tables' layout (PRAGMA user_version): a store of a higher version is not read.
constexpr int kSchemaVersion = 1;
// PRAGMA application_id of the store's own files ("vinf"): any other file is never opened by SQLite.
constexpr std::uint32_t kApplicationId = 0x76696E66;
// Keys nest at most kMaxKeyDepth levels below their root (winapi.h, shared with the tools).
// The string types' data written through a W function are UTF-16, marked so in the type column
// above its 32 bits. Rows without the mark, every row written before there were W functions among
// them, hold what an A function was given: ANSI bytes.
constexpr std::int64_t kUtf16Data = std::int64_t{1} << 32;
// The log never grows past this size (log.h), and is cut back to it when it starts over.
constexpr std::int64_t kLogSizeLimit = 4 * 1024 * 1024;

// The values table's definition, for a measure that writes rows shaped like the store's outside it.
const char* ValuesTableSql();

}  // namespace store
