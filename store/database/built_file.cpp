#include "built_file.h"

#include "failure.h"
#include "store_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>

namespace store {
namespace {

constexpr std::string_view kBuildSuffix = ".new";

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BuildPrefix(const std::string& path) {
    std::string prefix(1, '.');
    prefix += BaseName(path);
    prefix += '.';
    return prefix;
}

}  // namespace

std::string BuildPath(const std::string& path) {
    std::string built = DirectoryOf(path);
    built += '/';
    built += BuildPrefix(path);
    built += std::to_string(getpid());
    built += kBuildSuffix;
    return built;
}

void RemoveAbandonedBuilds(const std::string& path) {
    const std::string dir = DirectoryOf(path), prefix = BuildPrefix(path);
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) return;
    while (const dirent* entry = readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() + kBuildSuffix.size() || !name.starts_with(prefix) ||
            !name.ends_with(kBuildSuffix))
            continue;
        const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - kBuildSuffix.size());
        pid_t pid = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) continue;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;  // its process is alive, or another user's
        // With the log files its sealing makes, if it was killed between that and their removal.
        for (const char* suffix : {"", "-wal", "-shm"})
            unlinkat(dirfd(folder), (std::string(name) + suffix).c_str(), 0);
    }
    closedir(folder);
}

bool PlaceBuiltFile(const std::string& built, const std::string& path) {
    if (renameat2(AT_FDCWD, built.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST) return false;
        if (errno != EINVAL && errno != ENOSYS) throw Failure{NoWriteCode()};
        // A file system without that rename: a new name fails as well when it is taken.
        if (link(built.c_str(), path.c_str()) != 0) {
            if (errno == EEXIST) return false;
            throw Failure{NoWriteCode()};
        }
        unlink(built.c_str());
    }
    // The new name is durable with its folder.
    const int folder = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

}  // namespace store
