#include "trusted_path.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

namespace store {
namespace {

constexpr int kMaxLinks = 40;  // as many as the kernel follows in one path

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

struct Account {
    std::string name;
    std::string home;
};

Account AccountOf(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {"uid " + std::to_string(uid), ""};
    return {pw.pw_name, pw.pw_dir != nullptr ? pw.pw_dir : ""};
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::deque<std::string> Split(const std::string& path) {
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Why `uid` may not trust the folder or file at `shown`, or nothing.
std::string Untrusted(const std::string& shown, const struct stat& st, uid_t uid) {
    if (st.st_uid != uid && st.st_uid != 0)
        return shown + " belongs to " + AccountOf(st.st_uid).name + ", not to " +
               (uid == 0 ? std::string("root") : AccountOf(uid).name + " or root");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return shown + " may be written by others than its owner (mode " + mode + ")";
    }
    return {};
}

struct Folder {
    Fd fd;
    std::string path;  // as reached, with no symbolic link in it
    bool inHome;       // the user's home or a folder below it
    uid_t owner;
};

}  // namespace

TrustedPath CheckUserStorePath(const std::string& path, bool make) {
    TrustedPath out;
    const auto refuse = [&](std::string why) {
        out.refusal = std::move(why);
        return out;
    };
    const uid_t uid = getuid();
    const auto slash = path.rfind('/');
    if (path.empty() || path.front() != '/') return refuse("the store " + path + " is not an absolute path");
    const std::string file = path.substr(slash + 1);
    std::deque<std::string> todo = Split(path.substr(0, slash));
    if (file.empty() || file == "." || file == ".." || todo.empty() || todo.back() == "..")
        return refuse("the store " + path + " does not name a file in a folder of its own");

    const Account user = AccountOf(uid);
    struct stat home {};
    const bool hasHome = !user.home.empty() && stat(user.home.c_str(), &home) == 0 && S_ISDIR(home.st_mode);

    std::vector<Folder> folders;
    {
        Fd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (root.Get() < 0 || fstat(root.Get(), &st) != 0) return refuse(std::string("/: ") + std::strerror(errno));
        if (std::string why = Untrusted("/", st, uid); !why.empty()) return refuse(why);
        const bool inHome = hasHome && st.st_dev == home.st_dev && st.st_ino == home.st_ino;
        folders.push_back(Folder{std::move(root), "/", inHome, st.st_uid});
    }
    int links = 0;
    while (!todo.empty()) {
        const std::string name = todo.front();
        todo.pop_front();
        if (name == "..") {
            if (folders.size() > 1) folders.pop_back();
            continue;
        }
        const bool storeFolder = todo.empty();
        const Folder& here = folders.back();
        const std::string shown = Join(here.path, name);
        struct stat st {};
        if (fstatat(here.fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return refuse(shown + ": " + std::strerror(errno));
            // Elsewhere only the store's own folder, in a folder of the user's (their data folder).
            if (!here.inHome && !(storeFolder && here.owner == uid))
                out.cannotMake = shown + " does not exist, and folders are made only inside the home of " + user.name +
                                 (hasHome ? " (" + user.home + ")" : " (it has none)") + " or in a folder of theirs";
            if (!make || !out.cannotMake.empty()) {
                if (make) return refuse(out.cannotMake);
                out.path = shown;
                for (const std::string& rest : todo) out.path = Join(out.path, rest);
                out.path = Join(out.path, file);
                return out;
            }
            // Made by this process for its real user, whatever the umask.
            if (mkdirat(here.fd.Get(), name.c_str(), 0700) == 0) {
                if ((geteuid() != uid &&
                     fchownat(here.fd.Get(), name.c_str(), uid, getgid(), AT_SYMLINK_NOFOLLOW) != 0) ||
                    fchmodat(here.fd.Get(), name.c_str(), 0700, 0) != 0)
                    return refuse(shown + ": cannot make it the user's own: " + std::strerror(errno));
            } else if (errno != EEXIST) {  // another process may just have made it
                return refuse(shown + ": cannot make it: " + std::strerror(errno));
            }
            if (fstatat(here.fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return refuse(shown + ": " + std::strerror(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            // Only the owner of the folder it is in (trusted: checked above) can have put it there.
            if (storeFolder) return refuse(shown + " is a symbolic link");
            if (++links > kMaxLinks) return refuse(shown + ": too many symbolic links");
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t size = readlinkat(here.fd.Get(), name.c_str(), target.data(), PATH_MAX);
            if (size <= 0) return refuse(shown + ": " + std::strerror(errno));
            const std::string to(target.data(), static_cast<size_t>(size));
            if (to.front() == '/') folders.erase(folders.begin() + 1, folders.end());
            const std::deque<std::string> parts = Split(to);
            todo.insert(todo.begin(), parts.begin(), parts.end());
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return refuse(shown + " is not a folder");
        Fd fd(openat(here.fd.Get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0) return refuse(shown + ": " + std::strerror(errno));
        if (std::string why = Untrusted(shown, st, uid); !why.empty()) return refuse(why);
        const bool inHome = here.inHome || (hasHome && st.st_dev == home.st_dev && st.st_ino == home.st_ino);
        folders.push_back(Folder{std::move(fd), shown, inHome, st.st_uid});
    }

    const Folder& folder = folders.back();
    out.path = Join(folder.path, file);
    bool exists = false;
    // SQLite opens its log and index without following links too; this says why.
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string name = file + suffix;
        struct stat st {};
        if (fstatat(folder.fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return refuse(Join(folder.path, name) + ": " + std::strerror(errno));
            continue;
        }
        if (S_ISLNK(st.st_mode)) return refuse(Join(folder.path, name) + " is a symbolic link");
        if (!S_ISREG(st.st_mode)) return refuse(Join(folder.path, name) + " is not a file");
        if (std::string why = Untrusted(Join(folder.path, name), st, uid); !why.empty()) return refuse(why);
        if (*suffix == '\0') exists = true;
    }
    if (!exists && make) {
        const int fd = openat(folder.fd.Get(), file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const bool own = (geteuid() == uid || fchown(fd, uid, getgid()) == 0) && fchmod(fd, 0600) == 0;
            close(fd);
            if (!own) return refuse(out.path + ": cannot make it the user's own");
        } else if (errno != EEXIST) {
            return refuse(out.path + ": cannot make it: " + std::strerror(errno));
        }
    }
    out.folder = fcntl(folder.fd.Get(), F_DUPFD_CLOEXEC, 0);
    if (out.folder < 0) return refuse(folder.path + ": " + std::strerror(errno));
    return out;
}

}  // namespace store
