// RunInNewStore: a store that has no file yet, made in a new file and put at its path whole.
#include "registry_store.h"

#include "handles.h"
#include "memory_registry.h"

#include <unistd.h>

#include <memory>

using namespace store;
using namespace handles;

namespace {

using Told = std::function<void(const std::string&)>;

// While it lives, the store being built stands in for the store at the path (the caller holds the
// store's lock); when it ends, the store is back, holding the built file if it was put in place,
// and the built file is gone otherwise.
class Building {
public:
    Building(Store& store, Database& target, std::unique_ptr<Database> built, const Told& told)
        : store_(store),
          told_(told),
          path_(built->Path()),
          built_(built.get()),
          target_(store.Replace(target, std::move(built))) {
        // Handles opened before (to the roots: the store has no file) reach the store being built.
        store.Rehome(target_.get(), *built_, true);
        if (told_) told_(path_);
    }
    ~Building() {
        // Whatever failed before, the store is put back: no handle may keep the built one.
        Database& target = *target_;
        std::unique_ptr<Database> built = store_.Replace(*built_, std::move(target_));
        target.Disconnect();  // the file at the path is looked at afresh
        store_.Rehome(built_, target, placed_);
        built.reset();  // closed before its file is removed
        if (!placed_)
            for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
        if (told_) told_("");
    }
    Building(const Building&) = delete;
    Building& operator=(const Building&) = delete;

    // Seals the built store and puts it at the path, unless a file is there now: false then. A
    // store nothing was written to is not made.
    bool Place() {
        const Database::Sealed sealed = built_->SealAt(target_->Path());
        placed_ = sealed == Database::Sealed::Placed;
        return sealed != Database::Sealed::PathTaken;
    }

private:
    Store& store_;
    const Told& told_;
    const std::string path_;
    Database* built_;
    std::unique_ptr<Database> target_;
    bool placed_ = false;
};

}  // namespace

LONG RunInNewStore(HKEY hKey, const std::function<LONG()>& body, const Told& building) {
    if (memory::Active()) return RunInStoreTransaction(body);
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    Database* target = nullptr;
    std::unique_ptr<Database> builder;
    const LONG looked = Guarded([&](Store& s) -> LONG {
        const auto root = RootId(hKey);
        if (!root || s.transactions.Open()) return ERROR_SUCCESS;
        target = &s.ForRoot(*root);
        builder = target->Builder();
        return ERROR_SUCCESS;
    });
    // Where it cannot be built (or cannot even be looked at), the transaction says why.
    if (looked != ERROR_SUCCESS || !builder) return RunInStoreTransaction(body);
    bool done = false;  // put in place, or nothing to put
    LONG result = ERROR_SUCCESS;
    {
        Building build(store, *target, std::move(builder), building);
        result = RunInStoreTransaction(body);
        if (result == ERROR_SUCCESS)
            result = Guarded([&](Store&) -> LONG { return done = build.Place(), ERROR_SUCCESS; });
    }
    // Another process made the store meanwhile: `body` writes into that one.
    if (result == ERROR_SUCCESS && !done) return RunInStoreTransaction(body);
    return result;
}
