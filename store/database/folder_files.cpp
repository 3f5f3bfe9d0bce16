#include "folder_files.h"

#include <sqlite3.h>

#include <fcntl.h>

#include <cstring>
#include <string_view>

namespace store {
namespace {

constexpr std::string_view kPrefix = "/proc/self/fd/";

// The folder's descriptor and the file's name in `path`, when it is such a name.
bool Split(std::string_view path, int& folder, std::string_view& name) {
    if (!path.starts_with(kPrefix)) return false;
    path.remove_prefix(kPrefix.size());
    size_t digits = 0;
    folder = 0;
    while (digits < path.size() && digits < 9 && path[digits] >= '0' && path[digits] <= '9')
        folder = folder * 10 + (path[digits++] - '0');
    if (digits == 0 || digits + 1 >= path.size() || path[digits] != '/') return false;
    name = path.substr(digits + 1);
    return name.find('/') == std::string_view::npos && name != "." && name != "..";
}

// Stands in for SQLite's open(2): a name in a checked folder is opened there, never through a link.
int OpenInFolder(const char* path, int flags, int mode) {
    int folder = -1;
    std::string_view name;
    if (Split(path, folder, name))
        return openat(folder, std::string(name).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    return open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
}

sqlite3_vfs g_vfs{};
sqlite3_vfs* g_unix = nullptr;

int FullPathname(sqlite3_vfs*, const char* path, int size, char* out) {
    if (IsInFolder(path)) {
        const size_t n = std::strlen(path);
        if (n + 1 > static_cast<size_t>(size)) return SQLITE_CANTOPEN;
        std::memcpy(out, path, n + 1);
        return SQLITE_OK;
    }
    return g_unix->xFullPathname(g_unix, path, size, out);
}

}  // namespace

std::string InFolder(int folder, const std::string& file) {
    return std::string(kPrefix) + std::to_string(folder) + "/" + file;
}

bool IsInFolder(const char* path) {
    int folder = -1;
    std::string_view name;
    return path != nullptr && Split(path, folder, name);
}

const char* FolderVfs() {
    if (g_vfs.zName == nullptr) {
        g_unix = sqlite3_vfs_find("unix");
        if (g_unix == nullptr) return nullptr;
        // The unix file layer's system calls are one table for all its variants.
        g_unix->xSetSystemCall(g_unix, "open", reinterpret_cast<sqlite3_syscall_ptr>(OpenInFolder));
        g_vfs = *g_unix;
        g_vfs.zName = "versioninfo-folder";
        g_vfs.pNext = nullptr;
        g_vfs.xFullPathname = FullPathname;
        sqlite3_vfs_register(&g_vfs, 0);
    }
    return g_vfs.zName;
}

}  // namespace store
