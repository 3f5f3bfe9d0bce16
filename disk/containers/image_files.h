#pragma once
// The files under an image, as every container opens them: read-only, their size (a block device's
// too), a parent or backing file that is there but cannot be read named with the reason; and the
// containers, each in a file of its own.
#include "disk.h"
#include "image.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace disk {

// Parents of a differencing or overlay image: more than this is a loop.
constexpr int kMaxChain = 16;

// "PATH: " and the reason errno gives.
std::string Errno(const std::string& path);

class Fd {
public:
    explicit Fd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) throw Error{Errno(path)};
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Size of a regular file or block device, and a block device's logical sector size.
std::uint64_t SizeOf(int fd, const std::string& path, unsigned* sector);

// A parent image that is there but cannot be read: named with the reason (permission, a folder),
// which the container libraries would report as a damaged image. `role`: "parent disk", ...
void CheckParent(const std::string& child, const std::string& role, const std::string& parent);

std::unique_ptr<Image> OpenRaw(const std::string& path);   // raw_image.cpp: raw, also split
std::unique_ptr<Image> OpenQcow(const std::string& path);  // qcow_image.cpp: QCOW2 and its backing files
std::unique_ptr<Image> OpenVhdi(const std::string& path);  // vhdi_image.cpp: VHD and VHDX, and parents
std::unique_ptr<Image> OpenVmdk(const std::string& path);  // tsk_image.cpp: VMDK and its extents
std::unique_ptr<Image> OpenE01(const std::string& path);   // tsk_image.cpp: E01 and its segments

}  // namespace disk
