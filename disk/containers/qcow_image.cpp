// QCOW2 (and QCOW1) images through libqcow, with their chain of backing files; where each cluster
// lies is checked before libqcow reads it.
#include "byte_order.h"
#include "image_files.h"
#include "image_kind.h"
#include "libyal.h"

#include <libqcow.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

namespace disk {
namespace {

namespace fs = std::filesystem;

struct QcowLibrary {
    using File = libqcow_file_t;
    using Error = libqcow_error_t;
    using Size = size64_t;
    using Offset = off64_t;
    static int Initialize(File** file, Error** error) { return libqcow_file_initialize(file, error); }
    static int Open(File* file, const char* path, Error** error) {
        return libqcow_file_open(file, path, LIBQCOW_OPEN_READ, error);
    }
    static int Close(File* file, Error** error) { return libqcow_file_close(file, error); }
    static int Free(File** file, Error** error) { return libqcow_file_free(file, error); }
    static int MediaSize(File* file, size64_t* size, Error** error) {
        return libqcow_file_get_media_size(file, size, error);
    }
    static int SetParent(File* file, File* parent, Error** error) {
        return libqcow_file_set_parent_file(file, parent, error);
    }
    static ssize_t Read(File* file, void* buffer, size_t length, off64_t offset, Error** error) {
        return libqcow_file_read_buffer_at_offset(file, buffer, length, offset, error);
    }
    static constexpr auto Print = libqcow_error_sprint;
    static constexpr auto FreeError = libqcow_error_free;
};

// Where a QCOW2 file keeps each cluster, checked before libqcow reads it: libqcow 20201213 reads past
// its own buffer for a cluster that the file ends inside (a truncated image).
class QcowClusters {
public:
    explicit QcowClusters(const std::string& path) : path_(path), fd_(path) {
        std::uint8_t h[104] = {};
        fileSize_ = SizeOf(fd_.get(), path, nullptr);
        if (::pread(fd_.get(), h, sizeof h, 0) < 72) return;
        const std::uint32_t version = ReadBe32(h + 4);
        clusterBits_ = ReadBe32(h + 20);
        // Version 3's external data file and extended L2 entries change where clusters lie: not checked.
        const std::uint64_t incompatible = version >= 3 ? ReadBe64(h + 72) : 0;
        if ((version != 2 && version != 3) || clusterBits_ < 9 || clusterBits_ > 21 || (incompatible & 0x14) != 0)
            return;
        const std::uint64_t l1Size = ReadBe32(h + 36), l1Offset = ReadBe64(h + 40);
        if (l1Size > kMaxL1Entries || l1Offset > fileSize_ || l1Size * 8 > fileSize_ - l1Offset)
            throw Error{path + ": its cluster table lies past the end of the file: a truncated image"};
        std::vector<std::uint8_t> l1(l1Size * 8);
        if (!l1.empty() && ::pread(fd_.get(), l1.data(), l1.size(), off_t(l1Offset)) != ssize_t(l1.size()))
            throw Error{Errno(path)};
        for (std::size_t i = 0; i < l1Size; ++i) l1_.push_back(ReadBe64(&l1[8 * i]) & kOffsetMask);
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
        for (std::size_t i = 0; i < table.size(); ++i) table[i] = ReadBe64(&raw[8 * i]);
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

// QCOW2 (and QCOW1), the backing chain opened from beside each file.
class QcowImage : public Image {
public:
    explicit QcowImage(const std::string& path, int depth = 0)
        : Image(path), file_(path, ": a truncated or damaged image?") {
        if (depth > kMaxChain)
            throw Error{path + ": a chain of more than " + std::to_string(kMaxChain) + " backing files"};
        const std::string named =
            file_.Utf8Name(libqcow_file_get_utf8_backing_filename_size, libqcow_file_get_utf8_backing_filename);
        if (!named.empty()) {
            const std::string parentPath = ResolveParent(path, named);
            std::error_code ec;
            if (!fs::exists(parentPath, ec))
                throw Error{path + ": an overlay image whose backing file is missing: " + parentPath};
            CheckParent(path, "backing file", parentPath);
            // libqcow chains QCOW files only.
            char magic[4] = {};
            std::ifstream(parentPath, std::ios::binary).read(magic, sizeof magic);
            if (std::string_view(magic, sizeof magic) != kQcowMagic)
                throw Error{
                    path + ": its backing file " + parentPath +
                    " is not a QCOW image; convert the overlay to a whole image first (qemu-img convert -O qcow2)"};
            parent_ = std::make_unique<QcowImage>(parentPath, depth + 1);
            file_.SetParent(parent_->file_);
        }
        size_ = file_.MediaSize();
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
        return file_.ReadAt(offset, buffer, length);
    }

private:
    // The parent outlives the child's handle, which reads through it.
    std::unique_ptr<QcowImage> parent_;
    LibyalFile<QcowLibrary> file_;
    std::unique_ptr<QcowClusters> clusters_;
    std::uint64_t size_ = 0;
};

}  // namespace

std::unique_ptr<Image> OpenQcow(const std::string& path) {
    return std::make_unique<QcowImage>(path);
}

}  // namespace disk
