// VHD (fixed, dynamic, differencing) and VHDX images through libvhdi, with their parents.
#include "image_files.h"
#include "libyal.h"

#include <libvhdi.h>

#include <filesystem>

namespace disk {
namespace {

namespace fs = std::filesystem;

struct VhdiLibrary {
    using File = libvhdi_file_t;
    using Error = libvhdi_error_t;
    using Size = size64_t;
    using Offset = off64_t;
    static int Initialize(File** file, Error** error) { return libvhdi_file_initialize(file, error); }
    static int Open(File* file, const char* path, Error** error) {
        return libvhdi_file_open(file, path, LIBVHDI_OPEN_READ, error);
    }
    static int Close(File* file, Error** error) { return libvhdi_file_close(file, error); }
    static int Free(File** file, Error** error) { return libvhdi_file_free(file, error); }
    static int MediaSize(File* file, size64_t* size, Error** error) {
        return libvhdi_file_get_media_size(file, size, error);
    }
    static int SetParent(File* file, File* parent, Error** error) {
        return libvhdi_file_set_parent_file(file, parent, error);
    }
    static ssize_t Read(File* file, void* buffer, size_t length, off64_t offset, Error** error) {
        return libvhdi_file_read_buffer_at_offset(file, buffer, length, offset, error);
    }
    static constexpr auto Print = libvhdi_error_sprint;
    static constexpr auto FreeError = libvhdi_error_free;
};

// VHD (fixed, dynamic, differencing) and VHDX, parents opened from beside each file.
class VhdiImage : public Image {
public:
    explicit VhdiImage(const std::string& path, int depth = 0)
        : Image(path), file_(path, " (a VHD keeps its footer in its last 512 bytes: a truncated or damaged image?)") {
        if (depth > kMaxChain)
            throw Error{path + ": a chain of more than " + std::to_string(kMaxChain) + " parent disks"};
        libvhdi_error_t* error = nullptr;
        int type = 0;
        if (libvhdi_file_get_file_type(file_.get(), &type, &error) != 1) file_.Fail(error);
        vhdx_ = type == LIBVHDI_FILE_TYPE_VHDX;
        uint32_t diskType = 0;
        if (libvhdi_file_get_disk_type(file_.get(), &diskType, &error) != 1) file_.Fail(error);
        if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
            const std::string named =
                file_.Utf8Name(libvhdi_file_get_utf8_parent_filename_size, libvhdi_file_get_utf8_parent_filename);
            if (named.empty()) throw Error{path + ": a differencing disk that does not name its parent"};
            const std::string parentPath = ResolveParent(path, named);
            std::error_code ec;
            if (!fs::exists(parentPath, ec))
                throw Error{path + ": a differencing disk whose parent is missing: " + parentPath};
            CheckParent(path, "parent disk", parentPath);
            parent_ = std::make_unique<VhdiImage>(parentPath, depth + 1);
            file_.SetParent(parent_->file_);
        }
        size_ = file_.MediaSize();
        uint32_t bytes = 0;
        if (libvhdi_file_get_bytes_per_sector(file_.get(), &bytes, &error) == 1) sector_ = bytes;
        else libvhdi_error_free(&error);
    }
    std::uint64_t Size() const override { return size_; }
    unsigned SectorSize() const override { return sector_; }
    std::string Format() const override { return vhdx_ ? "VHDX" : "VHD"; }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        return file_.ReadAt(offset, buffer, length);
    }

private:
    // The parent outlives the child's handle, which reads through it.
    std::unique_ptr<VhdiImage> parent_;
    LibyalFile<VhdiLibrary> file_;
    std::uint64_t size_ = 0;
    unsigned sector_ = 0;
    bool vhdx_ = false;
};

}  // namespace

std::unique_ptr<Image> OpenVhdi(const std::string& path) {
    return std::make_unique<VhdiImage>(path);
}

}  // namespace disk
