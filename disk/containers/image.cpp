// The virtual disk of an image file or block device: the container told by its content, each read
// whole or named as truncated.
#include "image.h"

#include "image_files.h"
#include "image_kind.h"
#include "tsk.h"

#include <tsk/libtsk.h>

#include <cstring>
#include <filesystem>

namespace disk {
namespace {

namespace fs = std::filesystem;

}  // namespace

std::string TskMessage() {
    const char* text = tsk_error_get();
    std::string s = text != nullptr ? text : "unreadable";
    tsk_error_reset();
    // The libraries below it add a line per function.
    if (const std::size_t nl = s.find('\n'); nl != std::string::npos) s.resize(nl);
    return s;
}

void Image::Read(std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > Size() || length > Size() - offset)
        throw Error{Name() + ": " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    " lie past the end of the disk (" + std::to_string(Size()) + " bytes): a truncated image?"};
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const std::size_t n = ReadSome(offset + done, out + done, length - done);
        if (n == 0)
            throw Error{Name() + ": the image ends at offset " + std::to_string(offset + done) +
                        ", before the end of its disk: a truncated image"};
        done += n;
    }
    bytesRead_ += length;
}

std::string ResolveParent(const std::string& child, const std::string& named) {
    std::string p = named;
    for (char& c : p)
        if (c == '\\') c = '/';
    const fs::path folder = fs::path(child).parent_path();
    // A Windows path ("C:/VMs/base.vhdx") means nothing here: look beside the child.
    const bool windowsAbsolute = p.size() > 1 && p[1] == ':';
    fs::path candidate = windowsAbsolute ? fs::path() : fs::path(p).is_absolute() ? fs::path(p) : folder / p;
    std::error_code ec;
    if (!candidate.empty() && fs::exists(candidate, ec)) return candidate.lexically_normal().string();
    const fs::path beside = folder / fs::path(p).filename();
    if (fs::exists(beside, ec) || candidate.empty()) return beside.lexically_normal().string();
    return candidate.lexically_normal().string();
}

std::unique_ptr<Image> OpenImage(const std::string& path) {
    std::uint8_t head[kKindBytes] = {};
    std::uint8_t tail[kKindBytes] = {};
    std::size_t have = 0;
    std::uint64_t size = 0;
    {
        Fd fd(path);
        size = SizeOf(fd.get(), path, nullptr);
        const ssize_t n = ::pread(fd.get(), head, sizeof head, 0);
        if (n < 0) throw Error{Errno(path)};
        have = std::size_t(n);
        if (size >= kKindBytes && ::pread(fd.get(), tail, sizeof tail, off_t(size - kKindBytes)) != ssize_t(kKindBytes))
            throw Error{Errno(path)};
    }
    if (size == 0) throw Error{path + ": an empty file, not a disk image"};
    switch (KindOf(head, have, tail, size)) {
        case ImageKind::Qcow:
            return OpenQcow(path);
        case ImageKind::Vhdi:
            return OpenVhdi(path);
        case ImageKind::Vmdk:
            return OpenVmdk(path);
        case ImageKind::E01:
            return OpenE01(path);
        case ImageKind::L01:
            throw Error{path + ": a logical evidence file (L01), which holds files, not a disk"};
        case ImageKind::Raw:
            break;
    }
    return OpenRaw(path);
}

}  // namespace disk
