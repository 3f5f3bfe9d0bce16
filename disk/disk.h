#pragma once
// Windows installations read straight from where they lie: a folder (a mounted volume), a disk image
// file or a block device, read-only and without root.
//
// Images are recognised by their content, never by their name: raw (also split into .001, .002, ...),
// VHD (fixed, dynamic, differencing), VHDX, VMDK (monolithic sparse, split, streamOptimized, a
// descriptor with its extents), QCOW2 (with its chain of backing files) and E01 (one or several
// segments). Inside: an MBR (primary, extended, logical), a GPT or a bare volume, with 512- or
// 4096-byte sectors. NTFS volumes are searched for NT installations, FAT volumes for Windows 9x ones.
//
// What cannot be read is named in one line: BitLocker, LVM, dynamic disks (LDM), Storage Spaces, ReFS,
// exFAT, an unknown or encrypted volume, a compressed (WOF) hive, a truncated image, a missing parent
// image. A size an image claims is checked before anything that large is read or allocated.
#include "hive_format.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace disk {

// A source, volume or file that cannot be read. One line naming the file (and the partition, the
// offset or the file inside the volume where there is one).
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Volume {
    unsigned partition = 0;    // 1-based number in the partition table; 0: a bare volume or a folder
    std::uint64_t offset = 0;  // bytes from the start of the disk
    std::string fileSystem;    // "NTFS", "FAT12", "FAT16", "FAT32", or "folder"
    std::string label;         // the volume's label, "" when it has none
};

enum class InstallationKind {
    Nt,     // a folder holding System32/config/SYSTEM and SOFTWARE
    Win9x,  // a folder holding SYSTEM.DAT (and USER.DAT, unless it is lost)
};

struct Installation {
    Volume volume;
    std::string folder;  // as the volume spells it, relative to its root ("Windows"); "" for the root
    InstallationKind kind = InstallationKind::Nt;
    // In Windows.old (or Windows.old.000, ...): an earlier Windows that an upgrade kept, not the one
    // in use on its volume.
    bool earlier = false;
};

// The bytes of one file read out of a source, with the name messages give it
// ("disk.vhdx, partition 2, Windows/System32/config/SOFTWARE").
struct File {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// A hive and the transaction logs found beside it (NAME.LOG1, NAME.LOG2, NAME.LOG; any case).
struct HiveFiles {
    File primary;
    std::vector<File> logs;
};

// A file of an installation, read in pieces: hive::ReadHiveKeys reads a few keys of a large hive
// through one, page by page, without reading the whole file. Valid while its Source lives.
class FileReader {
public:
    virtual ~FileReader() = default;
    virtual std::uint64_t Size() const = 0;
    // Exactly `length` bytes at `offset`; throws Error naming the file when they lie past Size() or
    // cannot be read.
    virtual void ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    // The name messages give it, as File::name.
    virtual const std::string& Name() const = 0;
};

// Called now and then while a file is read: bytes done and bytes in all.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The largest file Read accepts: no hive or log that Windows writes is larger.
constexpr std::uint64_t kMaxFileBytes = hive::format::kMaxWrittenFileSize;

class Source {
public:
    // Opens `path` read-only: a folder, an image file or a block device, told apart by content.
    // Finds every installation on it. Throws Error (one line) when the source cannot be read or holds
    // no installation at all; the message then says why: the first volume that could not be read
    // (BitLocker, ReFS, ...), or the volumes that were read and held none.
    // A folder keeps import-windows' rules: a volume's root (installations in its top-level
    // folders), an installation's folder itself, or a Windows/System32/config folder itself (one
    // installation, folder "").
    static std::unique_ptr<Source> Open(const std::string& path);

    virtual ~Source() = default;

    // By partition, then the one in use before those an upgrade kept, then by folder name (without
    // regard to case). Never empty.
    virtual const std::vector<Installation>& Installations() const = 0;

    // What the user should know although installations were found: a hibernated or uncleanly shut
    // down NTFS volume (read as it lies), volumes that could not be read (one line each).
    virtual const std::vector<std::string>& Warnings() const = 0;

    // The file at `relative` below the installation's folder ("System32/config/SOFTWARE",
    // '/' between names), found in any case of letters. nullopt when it is not there. Throws Error
    // for a file that cannot be read: compressed by Windows (WOF), larger than kMaxFileBytes or than
    // its volume, running past the end of the image.
    std::optional<File> Read(const Installation& installation, std::string_view relative,
                             const Progress& progress = {});

    // The same file to read in pieces; nullptr when it is not there. Refuses what Read refuses, before
    // a byte of the file is read.
    virtual std::unique_ptr<FileReader> OpenFile(const Installation& installation, std::string_view relative) = 0;

    // The hive at `relative` with its logs beside it; nullopt when the hive is not there.
    std::optional<HiveFiles> ReadHive(const Installation& installation, std::string_view relative,
                                      const Progress& progress = {});

    // Bytes read from the image (or folder) so far, after the containers' decoding: what a read of
    // the source costs.
    virtual std::uint64_t BytesRead() const = 0;

    // The source's path as given to Open.
    virtual const std::string& Path() const = 0;
};

// One line naming an installation for people: "partition 2 (NTFS \"System\", offset 1048576): Windows".
std::string Describe(const Installation& installation);

}  // namespace disk
