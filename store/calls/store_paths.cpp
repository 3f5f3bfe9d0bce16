// Where the stores are: the system store's fixed path, the user's own under XDG_DATA_HOME or the
// real user's home, and the calls that choose the stores a process uses.
#include "handles.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#ifndef VERSIONINFO_STORE_PATH
#define VERSIONINFO_STORE_PATH "/var/lib/versioninfo/registry.db"
#endif

using handles::Store;

namespace {

// The real user's home as the password database gives it ($HOME may be another user's, under sudo).
std::string HomeFolder() {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        pw.pw_dir == nullptr)
        return {};
    return pw.pw_dir;
}

}  // namespace

void UseRegistryStore(const std::string& path, StoreAccess access) {
    UseRegistryStore(path, path, access);
}

void UseRegistryStore(const std::string& systemPath, const std::string& userPath, StoreAccess access) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    store.Use(systemPath, userPath, access);
}

void UseUsersOwnRegistryStore(const std::string& systemPath, StoreAccess access) {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    store.Use(systemPath, DefaultUserRegistryStorePath(), access, store::Trust::Checked);
}

std::string UserRegistryStoreRefusal() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.User().Refusal();
}

std::string RegistryStorePath() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.System().Path();
}

std::string UserRegistryStorePath() {
    Store& store = Store::TheStore();
    std::lock_guard lock(store.mutex);
    return store.User().Path();
}

std::string DefaultRegistryStorePath() {
    return VERSIONINFO_STORE_PATH;
}

std::string DefaultUserRegistryStorePath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    const std::string base = data != nullptr && *data == '/' ? std::string(data) : HomeFolder() + "/.local/share";
    return base + "/versioninfo/registry.db";
}
