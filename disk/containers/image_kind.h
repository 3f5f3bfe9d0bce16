#pragma once
// What an image file is, told by its content alone: its first and last 512 bytes. Shared by the image
// reader, which opens the container so told, and by a listing that looks for images in folders.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace disk {

enum class ImageKind {
    Qcow,  // QCOW2 ("QFI\xfb")
    Vhdi,  // VHDX, or VHD (its "conectix" footer at the end, or its copy at the start)
    Vmdk,  // a sparse extent ("KDMV", "COWD") or a descriptor
    E01,   // an EWF segment
    L01,   // a logical evidence file: files, not a disk
    Raw,   // anything else, read as the disk itself
};

// The signature a QCOW image starts with, which is all libqcow chains to.
inline constexpr std::string_view kQcowMagic{"QFI\xfb", 4};
// A sparse VMDK extent's header: where its embedded descriptor lies and how long it is, in sectors
// (64 bits each); no descriptor in the extents of a disk whose descriptor is a file of its own.
inline constexpr std::size_t kVmdkDescriptorOffsetAt = 28;
inline constexpr std::size_t kVmdkDescriptorSectorsAt = 36;

// The bytes an image is told by.
inline constexpr std::size_t kKindBytes = 512;

// `head` holds the first `have` bytes (at most kKindBytes); `tail` the last kKindBytes of a file of
// `size` bytes, when it has that many.
ImageKind KindOf(const std::uint8_t* head, std::size_t have, const std::uint8_t* tail, std::uint64_t size);

// Whether the regular file at `path` is, by content, a disk a listing should read: a container (an
// EWF image by its first segment only; a VMDK by its descriptor, not the extents it names), or raw
// bytes whose first sector ends as a partition table or a boot sector does (0x55 0xAA). False for
// what cannot be opened or read.
bool LooksLikeDisk(const std::string& path);

}  // namespace disk
