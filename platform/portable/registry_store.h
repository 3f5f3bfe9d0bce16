#pragma once
#include <string>

// The portable registry store: one SQLite database file that stands in for the Windows registry.
// The program always uses the store fixed at build time; tests point the process at another one.

enum class StoreAccess {
    AsPermitted,  // write when the file system lets this process write the store
    ReadOnly,     // never write, as a process without write permission would
};

// Points every later registry call of this process at `path`. Handles opened before become invalid.
void UseRegistryStore(const std::string& path, StoreAccess access = StoreAccess::AsPermitted);

// The store the next registry call will use.
std::string RegistryStorePath();

// The store that a program built this way uses when nothing else was chosen.
std::string DefaultRegistryStorePath();
