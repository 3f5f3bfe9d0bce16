#include "image_files.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace disk {

std::string Errno(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

std::uint64_t SizeOf(int fd, const std::string& path, unsigned* sector) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw Error{Errno(path)};
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        int ssz = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) throw Error{Errno(path)};
        if (sector != nullptr && ::ioctl(fd, BLKSSZGET, &ssz) == 0) *sector = unsigned(ssz);
        return bytes;
    }
    if (!S_ISREG(st.st_mode)) throw Error{path + ": neither a disk image file nor a block device"};
    return std::uint64_t(st.st_size);
}

void CheckParent(const std::string& child, const std::string& role, const std::string& parent) {
    try {
        const Fd fd(parent);
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) throw Error{parent + ": a folder, not a disk image"};
    } catch (const Error& e) {
        throw Error{child + ": its " + role + " " + e.what()};
    }
}

}  // namespace disk
