#include "store_file.h"

#include "statements.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace store {
namespace {

void MakeFolders(const std::string& dir, mode_t mode) {
    if (access(dir.c_str(), F_OK) == 0) return;
    MakeFolders(DirectoryOf(dir), mode);
    if (mkdir(dir.c_str(), mode) == 0) chmod(dir.c_str(), mode);  // whatever the umask
    else if (errno != EEXIST) throw Failure{NoWriteCode()};
}

}  // namespace

bool FileIdentity::Open(const std::string& path, bool noFollow) {
    Close();
    fd_ = open(path.c_str(), O_PATH | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
    struct stat st {};
    if (fd_ >= 0 && fstat(fd_, &st) == 0) {
        if (last_ && (st.st_dev != last_->dev || st.st_ino != last_->ino)) ++number_;
        last_ = Id{st.st_dev, st.st_ino};
        return true;
    }
    const int error = errno;
    Lost();  // deleted
    errno = error;
    return false;
}

bool FileIdentity::Replaced() {
    struct stat st {};
    if (fd_ < 0 || (fstat(fd_, &st) == 0 && st.st_nlink != 0)) return false;
    Lost();
    return true;
}

void FileIdentity::Lost() {
    if (last_) ++number_;
    last_.reset();
}

void FileIdentity::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

LONG NoWriteCode() {
    return errno == EACCES || errno == EROFS || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ExistingAncestor(std::string dir) {
    while (access(dir.c_str(), F_OK) != 0 && dir != "/" && dir != ".") dir = DirectoryOf(dir);
    return dir;
}

void MakeStoreFile(const std::string& path, bool personal) {
    if (personal) MakeFolders(DirectoryOf(path), 0700);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, personal ? 0600 : 0644);
    if (fd >= 0) {
        // Whatever the umask: the system store is for everyone to read (its log files take its mode).
        fchmod(fd, personal ? 0600 : 0644);
        // A log left by a store deleted without it is not read in: SQLite drops the log of an
        // empty database.
        close(fd);
    } else if (errno != EEXIST) {  // another process may just have made it: that one is used
        throw Failure{NoWriteCode()};
    }
}

}  // namespace store
