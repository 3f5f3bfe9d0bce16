#pragma once
// The store's tables as SQL: making them in a new file, marking a store made before stores were
// marked, and reading a file's marks through a connection.
#include "file_header.h"
#include "statements.h"

#include <string>

namespace store {

// The marks as the connection reads them: through the log, so what a write cut short left is
// taken back first, and another process's commits are seen.
Marks MarksOf(StatementCache& s);
// Makes the tables and marks the file; inside a write transaction on an empty file.
void MakeTables(StatementCache& s);
// Marks a store made before stores were marked; inside a write transaction.
void MarkStore(StatementCache& s);
// Whether the file at `path` (opened through `vfs`) has the store's tables, column by column: a
// store made before stores were marked. Read as an unchanging file, so that a file that is not a
// store is neither locked nor given a log.
bool HasStoreTables(const std::string& path, const char* vfs);

}  // namespace store
