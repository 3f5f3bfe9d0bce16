#include "Image.h"

#include "Disk.h"
#include "Tsk.h"

#include <fcntl.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

namespace disk {
namespace {

namespace fs = std::filesystem;

// Parents of a differencing or overlay image: more than this is a loop.
constexpr int kMaxChain = 16;

std::string Errno(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

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

// Raw, also split: NAME.001 (or .000, .00, ...) followed by the next numbers beside it.
class RawImage : public Image {
public:
    explicit RawImage(const std::string& path) : Image(path) {
        segments_.push_back({std::make_unique<Fd>(path), 0, 0});
        unsigned sector = 0;
        segments_[0].size = SizeOf(segments_[0].fd->get(), path, &sector);
        sector_ = sector;
        std::uint64_t total = segments_[0].size;
        for (const std::string& next : FollowingSegments(path)) {
            auto fd = std::make_unique<Fd>(next);
            const std::uint64_t size = SizeOf(fd->get(), next, nullptr);
            segments_.push_back({std::move(fd), total, size});
            total += size;
        }
        size_ = total;
    }
    std::uint64_t Size() const override { return size_; }
    unsigned SectorSize() const override { return sector_; }
    std::string Format() const override { return segments_.size() > 1 ? "raw (split)" : "raw"; }

    // NAME.001 → NAME.002, NAME.003, ... while they exist (the digits keep their width).
    static std::vector<std::string> FollowingSegments(const std::string& path) {
        std::vector<std::string> out;
        const size_t dot = path.rfind('.');
        if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return out;
        const std::string digits = path.substr(dot + 1);
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos)
            return out;
        unsigned n = unsigned(std::stoul(digits));
        if (n > 1) return out;
        for (;;) {
            std::string number = std::to_string(++n);
            if (number.size() > digits.size()) break;
            number.insert(0, digits.size() - number.size(), '0');
            const std::string next = path.substr(0, dot + 1) + number;
            std::error_code ec;
            if (!fs::is_regular_file(next, ec)) break;
            out.push_back(next);
        }
        return out;
    }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        for (const Segment& s : segments_) {
            if (done == length) break;
            const std::uint64_t at = offset + done;
            if (at < s.start || at >= s.start + s.size) continue;
            const std::size_t want = std::size_t(std::min<std::uint64_t>(length - done, s.start + s.size - at));
            std::size_t got = 0;
            while (got < want) {
                const ssize_t n = ::pread(s.fd->get(), out + done + got, want - got, off_t(at - s.start + got));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) throw Error{Errno(Name()) + " (at offset " + std::to_string(at + got) + ")"};
                if (n == 0) return done + got;
                got += std::size_t(n);
            }
            done += got;
        }
        return done;
    }

private:
    struct Segment {
        std::unique_ptr<Fd> fd;
        std::uint64_t start, size;
    };
    std::vector<Segment> segments_;
    std::uint64_t size_ = 0;
    unsigned sector_ = 0;
};

// The libyal handles, closed and freed also when a constructor throws half-way.
struct QcowHandle {
    libqcow_file_t* file = nullptr;
    ~QcowHandle() {
        if (file == nullptr) return;
        libqcow_file_close(file, nullptr);
        libqcow_file_free(&file, nullptr);
    }
    operator libqcow_file_t*() const { return file; }
    libqcow_file_t* get() const { return file; }
};
struct VhdiHandle {
    libvhdi_file_t* file = nullptr;
    ~VhdiHandle() {
        if (file == nullptr) return;
        libvhdi_file_close(file, nullptr);
        libvhdi_file_free(&file, nullptr);
    }
    operator libvhdi_file_t*() const { return file; }
    libvhdi_file_t* get() const { return file; }
};

template <typename ErrorT, typename Print, typename Free>
std::string LibraryMessage(ErrorT* error, Print print, Free release) {
    if (error == nullptr) return "unreadable";
    char text[512] = {};
    print(error, text, sizeof text);
    release(&error);
    // The libraries chain "function: message" lines; the last one says what was wrong.
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (const size_t nl = s.rfind('\n'); nl != std::string::npos) s = s.substr(nl + 1);
    if (const size_t colon = s.find(": "); colon != std::string::npos) s = s.substr(colon + 2);
    return s;
}

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
std::uint64_t Be64(const std::uint8_t* p) {
    return std::uint64_t(Be32(p)) << 32 | Be32(p + 4);
}

// Where a QCOW2 file keeps each cluster, checked before libqcow reads it: libqcow 20201213 reads past
// its own buffer for a cluster that the file ends inside (a truncated image).
class QcowClusters {
public:
    explicit QcowClusters(const std::string& path) : path_(path), fd_(path) {
        std::uint8_t h[104] = {};
        fileSize_ = SizeOf(fd_.get(), path, nullptr);
        if (::pread(fd_.get(), h, sizeof h, 0) < 72) return;
        const std::uint32_t version = Be32(h + 4);
        clusterBits_ = Be32(h + 20);
        // Version 3's external data file and extended L2 entries change where clusters lie: not checked.
        const std::uint64_t incompatible = version >= 3 ? Be64(h + 72) : 0;
        if ((version != 2 && version != 3) || clusterBits_ < 9 || clusterBits_ > 21 || (incompatible & 0x14) != 0)
            return;
        const std::uint64_t l1Size = Be32(h + 36), l1Offset = Be64(h + 40);
        if (l1Size > kMaxL1Entries || l1Offset > fileSize_ || l1Size * 8 > fileSize_ - l1Offset)
            throw Error{path + ": its cluster table lies past the end of the file: a truncated image"};
        std::vector<std::uint8_t> l1(l1Size * 8);
        if (!l1.empty() && ::pread(fd_.get(), l1.data(), l1.size(), off_t(l1Offset)) != ssize_t(l1.size()))
            throw Error{Errno(path)};
        for (std::size_t i = 0; i < l1Size; ++i) l1_.push_back(Be64(&l1[8 * i]) & kOffsetMask);
        checked_ = true;
    }

    // Whether each cluster of [offset, offset + length) is this file's (false: the backing file's).
    // Throws Error for one that lies past the end of the file.
    template <typename Backing>
    void Check(std::uint64_t offset, std::size_t length, const Backing& backing) {
        if (!checked_ || length == 0) return;
        const std::uint64_t cluster = std::uint64_t(1) << clusterBits_, l2Entries = cluster / 8;
        for (std::uint64_t at = offset & ~(cluster - 1); at < offset + length; at += cluster) {
            const std::uint64_t index = at >> clusterBits_, l1Index = index / l2Entries;
            const std::uint64_t l2 = l1Index < l1_.size() ? l1_[l1Index] : 0;
            std::uint64_t entry = 0;
            if (l2 != 0) entry = L2(l2)[index % l2Entries];
            if (entry & kCompressed) {
                const unsigned bits = 62 - (clusterBits_ - 8);
                if ((entry & ((std::uint64_t(1) << bits) - 1)) >= fileSize_) Past(at);
                continue;
            }
            const std::uint64_t host = entry & kOffsetMask;
            if (host == 0) {
                if (!(entry & 1))
                    backing(std::max(at, offset), std::min(at + cluster, offset + length) - std::max(at, offset));
                continue;
            }
            if (host > fileSize_ || cluster > fileSize_ - host) Past(at);
        }
    }

private:
    static constexpr std::uint64_t kOffsetMask = 0x00FFFFFFFFFFFE00ull;
    static constexpr std::uint64_t kCompressed = std::uint64_t(1) << 62;
    static constexpr std::uint64_t kMaxL1Entries = std::uint64_t(1) << 22;  // 32 MiB of table: 256 TiB of disk
    static constexpr std::size_t kCachedTables = 64;

    [[noreturn]] void Past(std::uint64_t at) const {
        throw Error{path_ + " (at offset " + std::to_string(at) + "): the cluster lies past the end of the file (" +
                    std::to_string(fileSize_) + " bytes): a truncated image"};
    }

    const std::vector<std::uint64_t>& L2(std::uint64_t offset) {
        if (auto it = l2_.find(offset); it != l2_.end()) return it->second;
        const std::uint64_t cluster = std::uint64_t(1) << clusterBits_;
        if (offset > fileSize_ || cluster > fileSize_ - offset)
            throw Error{path_ + ": a cluster table at offset " + std::to_string(offset) +
                        " lies past the end of the file: a truncated image"};
        std::vector<std::uint8_t> raw(cluster);
        if (::pread(fd_.get(), raw.data(), raw.size(), off_t(offset)) != ssize_t(raw.size())) throw Error{Errno(path_)};
        if (l2_.size() >= kCachedTables) l2_.clear();
        std::vector<std::uint64_t> table(cluster / 8);
        for (std::size_t i = 0; i < table.size(); ++i) table[i] = Be64(&raw[8 * i]);
        return l2_.emplace(offset, std::move(table)).first->second;
    }

    std::string path_;
    Fd fd_;
    std::uint64_t fileSize_ = 0;
    std::uint32_t clusterBits_ = 16;
    bool checked_ = false;
    std::vector<std::uint64_t> l1_;
    std::map<std::uint64_t, std::vector<std::uint64_t>> l2_;
};

// A parent image that is there but cannot be read: named with the reason (permission, a folder),
// which the container libraries would report as a damaged image.
void CheckParent(const std::string& child, const std::string& role, const std::string& parent) {
    try {
        const Fd fd(parent);
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) throw Error{parent + ": a folder, not a disk image"};
    } catch (const Error& e) {
        throw Error{child + ": its " + role + " " + e.what()};
    }
}

// QCOW2 (and QCOW1), the backing chain opened from beside each file.
class QcowImage : public Image {
public:
    explicit QcowImage(const std::string& path, int depth = 0) : Image(path) {
        if (depth > kMaxChain)
            throw Error{path + ": a chain of more than " + std::to_string(kMaxChain) + " backing files"};
        libqcow_error_t* error = nullptr;
        if (libqcow_file_initialize(&file_.file, &error) != 1) Fail(error);
        if (libqcow_file_open(file_, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1)
            Fail(error, ~std::uint64_t(0), ": a truncated or damaged image?");
        size_t nameSize = 0;
        if (libqcow_file_get_utf8_backing_filename_size(file_, &nameSize, &error) == 1 && nameSize > 1) {
            std::string named(nameSize, '\0');
            if (libqcow_file_get_utf8_backing_filename(file_, reinterpret_cast<uint8_t*>(named.data()), nameSize,
                                                       &error) != 1)
                Fail(error);
            named.resize(std::strlen(named.c_str()));
            const std::string parentPath = ResolveParent(path, named);
            std::error_code ec;
            if (!fs::exists(parentPath, ec))
                throw Error{path + ": an overlay image whose backing file is missing: " + parentPath};
            CheckParent(path, "backing file", parentPath);
            // libqcow chains QCOW files only.
            char magic[4] = {};
            std::ifstream(parentPath, std::ios::binary).read(magic, sizeof magic);
            if (std::memcmp(magic, "QFI\xfb", 4) != 0)
                throw Error{
                    path + ": its backing file " + parentPath +
                    " is not a QCOW image; convert the overlay to a whole image first (qemu-img convert -O qcow2)"};
            parent_ = std::make_unique<QcowImage>(parentPath, depth + 1);
            if (libqcow_file_set_parent_file(file_, parent_->file_.get(), &error) != 1) Fail(error);
        } else if (error != nullptr) {
            libqcow_error_free(&error);
        }
        size64_t media = 0;
        if (libqcow_file_get_media_size(file_, &media, &error) != 1) Fail(error);
        size_ = media;
        clusters_ = std::make_unique<QcowClusters>(path);
    }
    std::uint64_t Size() const override { return size_; }
    std::string Format() const override { return "QCOW2"; }

    // Throws Error when a cluster of the range, in this file or a backing file, lies past its file's end.
    void Check(std::uint64_t offset, std::size_t length) {
        clusters_->Check(offset, length, [this](std::uint64_t at, std::size_t n) {
            if (parent_ && at < parent_->Size())
                parent_->Check(at, std::size_t(std::min<std::uint64_t>(n, parent_->Size() - at)));
        });
    }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        Check(offset, length);
        libqcow_error_t* error = nullptr;
        const ssize_t n = libqcow_file_read_buffer_at_offset(file_, buffer, length, off64_t(offset), &error);
        if (n < 0) Fail(error, offset, ": a truncated or damaged image");
        return std::size_t(n);
    }

private:
    [[noreturn]] void Fail(libqcow_error_t* error, std::uint64_t offset = ~std::uint64_t(0), const char* meaning = "") {
        std::string where = offset == ~std::uint64_t(0) ? "" : " (at offset " + std::to_string(offset) + ")";
        throw Error{Name() + where + ": " + LibraryMessage(error, libqcow_error_sprint, libqcow_error_free) + meaning};
    }
    // The parent outlives the child's handle, which reads through it.
    std::unique_ptr<QcowImage> parent_;
    QcowHandle file_;
    std::unique_ptr<QcowClusters> clusters_;
    std::uint64_t size_ = 0;
};

// VHD (fixed, dynamic, differencing) and VHDX, parents opened from beside each file.
class VhdiImage : public Image {
public:
    explicit VhdiImage(const std::string& path, int depth = 0) : Image(path) {
        if (depth > kMaxChain)
            throw Error{path + ": a chain of more than " + std::to_string(kMaxChain) + " parent disks"};
        libvhdi_error_t* error = nullptr;
        if (libvhdi_file_initialize(&file_.file, &error) != 1) Fail(error);
        if (libvhdi_file_open(file_, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1)
            Fail(error, ~std::uint64_t(0),
                 " (a VHD keeps its footer in its last 512 bytes: a truncated or damaged image?)");
        int type = 0;
        if (libvhdi_file_get_file_type(file_, &type, &error) != 1) Fail(error);
        vhdx_ = type == LIBVHDI_FILE_TYPE_VHDX;
        uint32_t diskType = 0;
        if (libvhdi_file_get_disk_type(file_, &diskType, &error) != 1) Fail(error);
        if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            size_t nameSize = 0;
            if (libvhdi_file_get_utf8_parent_filename_size(file_, &nameSize, &error) != 1 || nameSize < 2)
                throw Error{path + ": a differencing disk that does not name its parent"};
            std::string named(nameSize, '\0');
            if (libvhdi_file_get_utf8_parent_filename(file_, reinterpret_cast<uint8_t*>(named.data()), nameSize,
                                                      &error) != 1)
                Fail(error);
            named.resize(std::strlen(named.c_str()));
            const std::string parentPath = ResolveParent(path, named);
            std::error_code ec;
            if (!fs::exists(parentPath, ec))
                throw Error{path + ": a differencing disk whose parent is missing: " + parentPath};
            CheckParent(path, "parent disk", parentPath);
            parent_ = std::make_unique<VhdiImage>(parentPath, depth + 1);
            if (libvhdi_file_set_parent_file(file_, parent_->file_.get(), &error) != 1) Fail(error);
        }
        size64_t media = 0;
        if (libvhdi_file_get_media_size(file_, &media, &error) != 1) Fail(error);
        size_ = media;
        uint32_t bytes = 0;
        if (libvhdi_file_get_bytes_per_sector(file_, &bytes, &error) == 1) sector_ = bytes;
        else libvhdi_error_free(&error);
    }
    std::uint64_t Size() const override { return size_; }
    unsigned SectorSize() const override { return sector_; }
    std::string Format() const override { return vhdx_ ? "VHDX" : "VHD"; }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        libvhdi_error_t* error = nullptr;
        const ssize_t n = libvhdi_file_read_buffer_at_offset(file_, buffer, length, off64_t(offset), &error);
        if (n < 0) Fail(error, offset, ": a truncated or damaged image");
        return std::size_t(n);
    }

private:
    [[noreturn]] void Fail(libvhdi_error_t* error, std::uint64_t offset = ~std::uint64_t(0), const char* meaning = "") {
        std::string where = offset == ~std::uint64_t(0) ? "" : " (at offset " + std::to_string(offset) + ")";
        throw Error{Name() + where + ": " + LibraryMessage(error, libvhdi_error_sprint, libvhdi_error_free) + meaning};
    }
    // The parent outlives the child's handle, which reads through it.
    std::unique_ptr<VhdiImage> parent_;
    VhdiHandle file_;
    std::uint64_t size_ = 0;
    unsigned sector_ = 0;
    bool vhdx_ = false;
};

// The extent a monolithic sparse VMDK names in its embedded descriptor, when that is not its own
// file name (the file was renamed), else "". libvmdk opens extents by those names.
std::string RenamedExtent(const std::string& path, int fd) {
    std::uint8_t header[512];
    if (::pread(fd, header, sizeof header, 0) != ssize_t(sizeof header)) return "";
    const auto le64 = [&](std::size_t at) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = v << 8 | header[at + std::size_t(i)];
        return v;
    };
    const std::uint64_t offset = le64(28), sectors = le64(36);
    if (offset == 0 || sectors == 0 || sectors > 128 || offset > (std::uint64_t(1) << 40)) return "";
    std::string text(sectors * 512, '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), off_t(offset * 512));
    if (n <= 0) return "";
    text.resize(std::strlen(text.c_str()));
    std::vector<std::string> extents;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind("RW ", 0) != 0 && line.rfind("RDONLY ", 0) != 0) continue;
        const std::size_t open = line.find('"'), close = line.rfind('"');
        if (open != std::string::npos && close > open) extents.push_back(line.substr(open + 1, close - open - 1));
    }
    if (extents.size() != 1 || extents[0].find_first_of("/\\") != std::string::npos) return "";
    return extents[0] == fs::path(path).filename().string() ? "" : extents[0];
}

// VMDK (with its extents) and E01 (with its segments), through The Sleuth Kit's readers.
class TskImage : public Image {
public:
    TskImage(const std::string& path, TSK_IMG_TYPE_ENUM type, std::string format)
        : Image(path), format_(std::move(format)) {
        std::string open = path;
        if (type == TSK_IMG_TYPE_VMDK_VMDK) {
            // A renamed monolithic VMDK: a private folder holds a link under the name it gives itself.
            Fd fd(path);
            if (const std::string extent = RenamedExtent(path, fd.get()); !extent.empty()) {
                std::string dir = (fs::temp_directory_path() / "versioninfo-vmdk-XXXXXX").string();
                if (::mkdtemp(dir.data()) == nullptr) throw Error{Errno(dir)};
                linkDir_ = dir;
                open = dir + "/" + extent;
                std::error_code ec;
                fs::create_symlink(fs::absolute(path, ec), open, ec);
                if (ec) throw Error{path + ": " + ec.message()};
            }
        }
        tsk_error_reset();
        img_ = tsk_img_open_utf8_sing(open.c_str(), type, 0);
        if (img_ == nullptr) {
            RemoveLink();
            throw Error{path + ": " + format_ + " image: " + TskMessage()};
        }
    }
    ~TskImage() override {
        tsk_img_close(img_);
        RemoveLink();
    }
    std::uint64_t Size() const override { return std::uint64_t(img_->size); }
    std::string Format() const override { return format_; }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        tsk_error_reset();
        const ssize_t n = tsk_img_read(img_, TSK_OFF_T(offset), static_cast<char*>(buffer), length);
        if (n < 0)
            throw Error{Name() + " (at offset " + std::to_string(offset) + "): " + TskMessage() +
                        ": a truncated or damaged image"};
        return std::size_t(n);
    }

private:
    void RemoveLink() {
        std::error_code ec;
        if (!linkDir_.empty()) fs::remove_all(linkDir_, ec);
    }
    TSK_IMG_INFO* img_ = nullptr;
    std::string format_;
    std::string linkDir_;
};

bool Starts(const std::uint8_t* head, std::size_t have, std::string_view magic) {
    return have >= magic.size() && std::memcmp(head, magic.data(), magic.size()) == 0;
}

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
    std::uint8_t head[512] = {};
    std::uint8_t tail[512] = {};
    std::size_t have = 0;
    std::uint64_t size = 0;
    {
        Fd fd(path);
        size = SizeOf(fd.get(), path, nullptr);
        const ssize_t n = ::pread(fd.get(), head, sizeof head, 0);
        if (n < 0) throw Error{Errno(path)};
        have = std::size_t(n);
        if (size >= 512 && ::pread(fd.get(), tail, sizeof tail, off_t(size - 512)) != 512) throw Error{Errno(path)};
    }
    if (size == 0) throw Error{path + ": an empty file, not a disk image"};
    if (Starts(head, have, "QFI\xfb")) return std::make_unique<QcowImage>(path);
    if (Starts(head, have, "vhdxfile") || Starts(head, have, "conectix") ||
        (size >= 512 && Starts(tail, 512, "conectix")))
        return std::make_unique<VhdiImage>(path);
    if (Starts(head, have, "KDMV") || Starts(head, have, "COWD") || Starts(head, have, "# Disk DescriptorFile"))
        return std::make_unique<TskImage>(path, TSK_IMG_TYPE_VMDK_VMDK, "VMDK");
    if (Starts(head, have, std::string_view("EVF\x09\x0d\x0a\xff\x00", 8)))
        return std::make_unique<TskImage>(path, TSK_IMG_TYPE_EWF_EWF, "E01");
    if (Starts(head, have, std::string_view("LVF\x09\x0d\x0a\xff\x00", 8)))
        throw Error{path + ": a logical evidence file (L01), which holds files, not a disk"};
    return std::make_unique<RawImage>(path);
}

}  // namespace disk
