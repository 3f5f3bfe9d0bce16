#include "image_kind.h"

#include "byte_order.h"
#include "layout.h"
#include "layout_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace disk {
namespace {

constexpr std::string_view kVhdxMagic = "vhdxfile";
constexpr std::string_view kVhdFooter = "conectix";
constexpr std::string_view kVmdkSparse = "KDMV";
constexpr std::string_view kVmdkCowd = "COWD";
constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
constexpr std::string_view kEwfMagic{"EVF\x09\x0d\x0a\xff\x00", 8};
constexpr std::string_view kLefMagic{"LVF\x09\x0d\x0a\xff\x00", 8};
// EWF: after the signature, one byte, then the segment's number (little-endian, from 1).
constexpr std::size_t kEwfSegmentAt = 9;

bool Starts(const std::uint8_t* head, std::size_t have, std::string_view magic) {
    return have >= magic.size() && std::memcmp(head, magic.data(), magic.size()) == 0;
}

}  // namespace

ImageKind KindOf(const std::uint8_t* head, std::size_t have, const std::uint8_t* tail, std::uint64_t size) {
    if (Starts(head, have, kQcowMagic)) return ImageKind::Qcow;
    if (Starts(head, have, kVhdxMagic) || Starts(head, have, kVhdFooter) ||
        (size >= kKindBytes && Starts(tail, kKindBytes, kVhdFooter)))
        return ImageKind::Vhdi;
    if (Starts(head, have, kVmdkSparse) || Starts(head, have, kVmdkCowd) || Starts(head, have, kVmdkDescriptor))
        return ImageKind::Vmdk;
    if (Starts(head, have, kEwfMagic)) return ImageKind::E01;
    if (Starts(head, have, kLefMagic)) return ImageKind::L01;
    return ImageKind::Raw;
}

bool LooksLikeDisk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    std::uint8_t head[kKindBytes] = {}, tail[kKindBytes] = {};
    struct stat st {};
    bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const std::uint64_t size = read ? std::uint64_t(st.st_size) : 0;
    const ssize_t have = read ? ::pread(fd, head, sizeof head, 0) : -1;
    if (have < 0 ||
        (size >= kKindBytes && ::pread(fd, tail, sizeof tail, off_t(size - kKindBytes)) != ssize_t(kKindBytes)))
        read = false;
    ::close(fd);
    if (!read || size == 0) return false;
    switch (KindOf(head, std::size_t(have), tail, size)) {
        case ImageKind::Qcow:
        case ImageKind::Vhdi:
            return true;
        case ImageKind::Vmdk:
            return !Starts(head, std::size_t(have), kVmdkSparse) ||
                   (std::size_t(have) >= kVmdkDescriptorOffsetAt + 8 && ReadLe64(head + kVmdkDescriptorOffsetAt) != 0);
        case ImageKind::E01:
            return std::size_t(have) > kEwfSegmentAt + 1 && head[kEwfSegmentAt] == 1 && head[kEwfSegmentAt + 1] == 0;
        case ImageKind::L01:
            return false;
        case ImageKind::Raw:
            return std::size_t(have) >= kKindBytes &&
                   ReadLe16(head + layout::kBootSignatureAt) == layout::kBootSignature;
    }
    return false;
}

}  // namespace disk
