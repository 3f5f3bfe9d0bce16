#pragma once
// What the store's fault tests share: the fixture, a child process to run a step in, becoming
// another user, and what every call through a handle to a deleted key must answer.
#include "Form1.h"
#include "recording_surface.h"
#include "registry_store.h"
#include "registry_test.h"
#include "winapi.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace store_test {

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process; its result is the child's exit status.
inline int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline bool BecomeNobody() {
    return setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

inline std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class StoreFaults : public RegistryTest {
protected:
    HKEY Create(HKEY root, const std::string& path, LONG expected = ERROR_SUCCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), expected)
            << path;
        return key;
    }
    static LONG SetDword(HKEY key, const char* name, DWORD value) {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }
    static LONG QueryDword(HKEY key, const char* name, DWORD& value) {
        DWORD size = 4, type = 0;
        return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    }
    std::string Sub(const std::string& name) const { return KeyPath() + "\\" + name; }
};

// Every call through a handle whose key is gone answers ERROR_KEY_DELETED, and reaches no other key.
inline void ExpectDeleted(HKEY gone) {
    char name[64];
    DWORD cch = sizeof name, size = 4, value = 0, count = 0;
    HKEY out = nullptr;
    EXPECT_EQ(RegSetValueExA(gone, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(gone, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(gone, "v"), ERROR_KEY_DELETED);
    for (DWORD index : {0, 1}) {  // also after a first answer
        cch = sizeof name;
        EXPECT_EQ(RegEnumValueA(gone, index, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
        cch = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(gone, index, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    }
    EXPECT_EQ(RegQueryInfoKeyA(gone, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(gone, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(gone, "", 0, KEY_READ, &out), ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(gone), ERROR_KEY_DELETED);
}

// A folder made with `mode`, owned by `owner`.
inline void Folder(const std::string& path, mode_t mode, uid_t owner = 0) {
    std::filesystem::create_directories(path);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
}

// A store in `folder` holding HKEY_CURRENT_USER\Software\Planted, its files owned by `owner`.
inline void Plant(const std::string& folder, uid_t owner) {
    UseRegistryStore(folder + "/registry.db");
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(folder + "/elsewhere.db");
    for (const char* suffix : {"", "-wal", "-shm"}) chown((folder + "/registry.db" + suffix).c_str(), owner, owner);
}

// Every entry below `folder`: its owner, mode and, for a file, its bytes.
inline std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        entries[entry.path()] = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) +
                                (S_ISREG(st.st_mode) ? " " + Contents(entry.path()) : "");
    }
    return entries;
}

}  // namespace store_test
