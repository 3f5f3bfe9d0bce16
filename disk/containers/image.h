#pragma once
// The virtual disk of an image file or block device, decoded from its container.
#include <cstdint>
#include <memory>
#include <string>

namespace disk {

class Image {
public:
    virtual ~Image() = default;
    // Bytes in the virtual disk.
    virtual std::uint64_t Size() const = 0;
    // Bytes per logical sector when the container says (VHDX, a block device); 0 when it does not.
    virtual unsigned SectorSize() const { return 0; }
    // "raw", "VHD", "VHDX", "VMDK", "QCOW2", "E01".
    virtual std::string Format() const = 0;
    const std::string& Name() const { return name_; }

    // Exactly `length` bytes at `offset` of the virtual disk. Throws Error naming the image and the
    // offset when the disk is shorter or the container cannot give them (a truncated image).
    void Read(std::uint64_t offset, void* buffer, std::size_t length);
    std::uint64_t BytesRead() const { return bytesRead_; }

protected:
    explicit Image(std::string name) : name_(std::move(name)) {}
    // Up to `length` bytes at `offset` (< Size()); fewer only where the container ends early.
    virtual std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) = 0;

private:
    std::string name_;
    std::uint64_t bytesRead_ = 0;
};

// Opens the image file or block device at `path` read-only, its format told by its content; a
// differencing or overlay image gets its parents from beside it. Throws Error.
std::unique_ptr<Image> OpenImage(const std::string& path);

// The file a child image names as its parent, resolved as the container does: relative to the
// child's folder, Windows separators read as '/'; where only the name is found, beside the child.
std::string ResolveParent(const std::string& child, const std::string& named);

}  // namespace disk
