#pragma once
// Reading a store in WAL mode whose log files are gone, for a process that may not make them again
// (the folder is not its to write, or the medium is read-only). SQLite reads such a store when the
// files exist; this file layer stands in for the missing ones: a missing log reads as empty (the
// last process to close the store copied it back before deleting it), and a missing index is kept
// in this process's memory, built from the log, as SQLite does for an index it may not write. No
// other process can be writing the store meanwhile: a writer makes both files first.
#include <sqlite3.h>

namespace store::readonly {

// The name of the file layer, registered on first use, for sqlite3_open_v2. With `privateIndex`
// the log's index is built in this process's memory even where the index file exists: for a
// reader who may not write it while it describes another file (see Database::Connect).
const char* Use(bool privateIndex = false);

}  // namespace store::readonly
