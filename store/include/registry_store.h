#pragma once
#include "winapi.h"

#include <functional>
#include <span>
#include <string>
#include <string_view>

// The portable registry store: SQLite database files that stand in for the Windows registry.
// HKEY_CURRENT_USER lives in a store of the user's own; the other roots in the system store fixed at
// build time. Tests point the process at other stores.

enum class StoreAccess {
    AsPermitted,  // write when the file system lets this process write the store
    ReadOnly,     // never write, as a process without write permission would
};

// Points every later registry call of this process at `path`, for every root. Handles opened
// before become invalid.
void UseRegistryStore(const std::string& path, StoreAccess access = StoreAccess::AsPermitted);
// The same with HKEY_CURRENT_USER in a store of its own at `userPath`.
void UseRegistryStore(const std::string& systemPath, const std::string& userPath,
                      StoreAccess access = StoreAccess::AsPermitted);

// The system store at `systemPath`, and HKEY_CURRENT_USER in the user's own store at
// DefaultUserRegistryStorePath(), as a program uses them when nothing else was chosen. That store is
// used only where the real user (getuid) may trust it: every folder from / to it belongs to that user
// or root and may be written by no one else, its folder and files are not symbolic links, and
// missing folders are made only inside the user's home (from the password database). Otherwise
// every HKEY_CURRENT_USER call that needs the store answers ERROR_ACCESS_DENIED.
void UseUsersOwnRegistryStore(const std::string& systemPath, StoreAccess access = StoreAccess::AsPermitted);
// Why the user's own store was refused to the last call that needed it, naming the folder or file at
// fault; empty when it was not.
std::string UserRegistryStoreRefusal();

// The system store the next registry call will use, and the one that holds HKEY_CURRENT_USER.
std::string RegistryStorePath();
std::string UserRegistryStorePath();

// The stores that a program built this way uses when nothing else was chosen: the system store,
// and the user's under $XDG_DATA_HOME when that is an absolute path, else under ~/.local/share with
// ~ the real user's home from the password database ($HOME is not read).
std::string DefaultRegistryStorePath();
std::string DefaultUserRegistryStorePath();

// Runs `body` as one store transaction: its registry writes are kept only when it returns
// ERROR_SUCCESS and the store took every one of them; otherwise none is kept. Returns body's result,
// or the store's error when the store failed. Other threads' registry calls wait until it ends;
// a nested call is a savepoint inside the outer transaction. Do not switch stores inside `body`.
// Writes to both the system and the user store are two transactions, committed one after the other.
LONG RunInStoreTransaction(const std::function<LONG()>& body);

// Runs `body` as RunInStoreTransaction does. When hKey (a root) is in a store that has no file yet,
// the store is made in a new file beside its path, written without a log (each page once, where the
// log writes each twice) and put at the path whole when `body` succeeds; if another process made
// the store meanwhile, `body` runs again, as RunInStoreTransaction runs it, on that one. `building`
// is told the new file's path while it is written, and "" after, so that a program ended by a
// signal can remove it (one ended otherwise leaves it to the next build, which removes it). A
// user's store where the environment put it is written as it is.
LONG RunInNewStore(HKEY hKey, const std::function<LONG()>& body,
                   const std::function<void(const std::string&)>& building = {});
// Runs `body` with this thread's reads of hKey's store in one read transaction: every call reads the
// store as it was at the first, whatever other processes write meanwhile (a key copied out whole,
// as an export wants it), and none of them costs a lock of its own. Other threads' registry calls
// wait until it ends. `body` only reads; do not start a RunInStoreTransaction inside it. Returns
// body's result, or the store's error when it could not be read.
LONG RunInStoreSnapshot(HKEY hKey, const std::function<LONG()>& body);
// A whole tree written inside RunInStoreTransaction (a hive's keys): the rows RegCreateKeyExW and
// RegSetValueExW write for one key name and one value, and the same errors, without their cost of a
// savepoint each. Outside a transaction they answer ERROR_INVALID_PARAMETER. After a failure the
// transaction keeps nothing.
LONG StoreTreeCreateKey(HKEY hKey, std::u16string_view name, PHKEY phkResult);
LONG StoreTreeSetValue(HKEY hKey, std::u16string_view name, DWORD dwType, const BYTE* lpData, DWORD cbData);
// Values of many keys at once, as StoreTreeSetValue would write each in turn, in fewer statements.
struct StoreTreeValue {
    HKEY key;
    std::u16string_view name;
    DWORD type;
    const BYTE* data;
    DWORD size;
};
LONG StoreTreeSetValues(std::span<const StoreTreeValue> values);
// While one lives, the tree writes to hKey's store skip the check that a new key's parent and a
// value's key exist: each goes below a key made or emptied in the same transaction, which no other
// process can delete before it ends. New keys wait to be written in batches, when values are, or by
// Finish; a tree without Finish is not kept whole, so the transaction must fail then. Nothing but
// tree writes may run while it lives (a delete needs the check to reach the subkeys, a read would
// miss the keys that wait). Outside a transaction it does nothing.
class StoreTreeUnchecked {
public:
    explicit StoreTreeUnchecked(HKEY hKey);
    ~StoreTreeUnchecked();
    StoreTreeUnchecked(const StoreTreeUnchecked&) = delete;
    StoreTreeUnchecked& operator=(const StoreTreeUnchecked&) = delete;
    LONG Finish();  // writes the keys that wait

private:
    void* db_ = nullptr;
    HKEY hKey_ = nullptr;
};
