#pragma once
// The volumes on a disk: its partition table (MBR with extended and logical partitions, GPT) or a
// bare volume, and what each volume holds, told from its first sectors. Pure functions over a
// reader, so that hostile tables can be fuzzed without a container around them.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace disk::layout {

// Reads exactly `length` bytes at `offset` of the disk, or throws disk::Error.
using Reader = std::function<void(std::uint64_t offset, void* buffer, std::size_t length)>;

constexpr std::uint16_t kBootSignature = 0xAA55;  // last two bytes of an MBR and of boot sectors
constexpr std::size_t kMbrEntries = 446;          // offset of the four MBR entries
constexpr std::size_t kMaxLogical = 128;          // logical partitions in one extended chain
constexpr std::uint32_t kMaxGptEntries = 1024;    // entries a GPT may claim
constexpr std::uint32_t kMaxGptEntrySize = 4096;
constexpr std::uint64_t kHeadBytes = 4096;  // what Probe reads of a volume

enum class Content {
    Ntfs,
    Fat,
    ExFat,
    ReFs,
    BitLocker,
    Lvm,
    Ldm,
    StorageSpaces,
    Luks,
    Unknown,  // no file system this library knows
    Skip,     // nothing a Windows lives on: swap, BIOS boot, Microsoft reserved, empty
};

struct Slice {
    unsigned partition = 0;               // 1..4 primary, 5.. logical, GPT entry number; 0 a bare volume
    std::uint64_t offset = 0;             // bytes
    std::uint64_t length = 0;             // bytes
    Content typeSays = Content::Unknown;  // what the table's type says, before the content is probed
    bool windowsType = false;             // a type Windows would give a volume of its own (NTFS, FAT, basic data)
};

struct Table {
    std::string scheme;  // "MBR", "GPT" or "none"
    unsigned sectorSize = 512;
    std::vector<Slice> slices;  // in the table's order
};

// The partition table of a disk of `size` bytes; `sectorHint` is the container's sector size, 0 when
// it does not say. Throws disk::Error for a table that contradicts itself (a loop of extended
// partitions, a GPT claiming more entries than kMaxGptEntries). Slices reaching past the end are
// kept as they are claimed: the caller names them.
Table ReadTable(const Reader& read, std::uint64_t size, unsigned sectorHint);

// What the volume whose first bytes are `head` (kHeadBytes of them, fewer for a shorter volume) holds.
Content Probe(const std::uint8_t* head, std::size_t length);

// "BitLocker", "ReFS", ... for messages; the reason a volume cannot be read, or "" when it can.
std::string Refusal(Content content);

// The volume label of an NTFS-less boot sector: FAT's BPB label, "" when it has none.
std::string FatLabel(const std::uint8_t* head, std::size_t length);

// "FAT12", "FAT16" or "FAT32" from a FAT boot sector, by its count of clusters.
std::string FatKind(const std::uint8_t* head, std::size_t length);

}  // namespace disk::layout
