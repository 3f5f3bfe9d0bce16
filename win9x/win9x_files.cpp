// Where a Windows 9x registry lies in a folder, and what such a file looks like from its start.
#include "creg_format.h"
#include "win9x.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace win9x {
namespace {

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file of `folder` named `name` without regard to case (the exact spelling first), or "".
std::string FindFile(const std::string& folder, const char* name) {
    if (IsFile(folder + "/" + name)) return folder + "/" + name;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) return {};
    std::string found;
    while (const dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name) == 0 && IsFile(folder + "/" + e->d_name)) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

}  // namespace

bool IsCregFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char sig[sizeof format::kFileSignature] = {};
    const ssize_t n = ::read(fd, sig, sizeof sig);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof sig) && std::memcmp(sig, format::kFileSignature, sizeof sig) == 0;
}

std::optional<Registry> FindRegistry(const std::string& windowsFolder) {
    Registry r;
    r.system.path = FindFile(windowsFolder, "SYSTEM.DAT");
    if (r.system.path.empty()) return std::nullopt;
    r.system.backup = FindFile(windowsFolder, "SYSTEM.DA0");
    r.user.path = FindFile(windowsFolder, "USER.DAT");
    r.user.backup = FindFile(windowsFolder, "USER.DA0");
    return r;
}

}  // namespace win9x
