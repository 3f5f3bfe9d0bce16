// VMDK (with its extents) and E01 (with its segments) images through The Sleuth Kit's readers.
#include "byte_order.h"
#include "image_files.h"
#include "image_kind.h"
#include "tsk.h"

#include <tsk/libtsk.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace disk {
namespace {

namespace fs = std::filesystem;

// The extent a monolithic sparse VMDK names in its embedded descriptor, when that is not its own
// file name (the file was renamed), else "". libvmdk opens extents by those names.
std::string RenamedExtent(const std::string& path, int fd) {
    std::uint8_t header[512];
    if (::pread(fd, header, sizeof header, 0) != ssize_t(sizeof header)) return "";
    const std::uint64_t offset = ReadLe64(header + kVmdkDescriptorOffsetAt),
                        sectors = ReadLe64(header + kVmdkDescriptorSectorsAt);
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

}  // namespace

std::unique_ptr<Image> OpenVmdk(const std::string& path) {
    return std::make_unique<TskImage>(path, TSK_IMG_TYPE_VMDK_VMDK, "VMDK");
}
std::unique_ptr<Image> OpenE01(const std::string& path) {
    return std::make_unique<TskImage>(path, TSK_IMG_TYPE_EWF_EWF, "E01");
}

}  // namespace disk
