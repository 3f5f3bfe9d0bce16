#pragma once
#include "winapi.h"

#include <functional>
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

// Runs `body` as one store transaction: its registry writes are kept only when it returns
// ERROR_SUCCESS and the store took every one of them; otherwise none is kept. Returns body's result,
// or the store's error when the store failed. Other threads' registry calls wait until it ends;
// a nested call is a savepoint inside the outer transaction. Do not switch stores inside `body`.
LONG RunInStoreTransaction(const std::function<LONG()>& body);
