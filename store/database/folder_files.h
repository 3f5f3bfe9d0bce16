#pragma once
// Opening a store's files through the folder the trust walk checked (see trusted_path.h), so that
// nothing swapped in on the way to it afterwards reaches another file. The folder is named by its
// descriptor, "/proc/self/fd/N/registry.db"; SQLite derives the log files' names from the store's
// by appending "-wal" and "-shm", so they are opened in the same folder. Such a name is opened with
// openat(N, name, O_NOFOLLOW), and SQLite is given it whole instead of the path the link reads as.
#include <string>

namespace store {

// The name of the store file `file` in the folder open as `folder`.
std::string InFolder(int folder, const std::string& file);

// The name of the SQLite file layer that opens such names so; registered on first use. It opens
// every other name as the default one does.
const char* FolderVfs();

// Whether `path` is such a name (a file layer over it must keep it whole).
bool IsInFolder(const char* path);

}  // namespace store
