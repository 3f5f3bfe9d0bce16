#pragma once
// The partition tables and boot sectors that the layout reads, as the layout and the tests that
// write tables in memory see them: each field as an offset into its structure, named once here.
// Little-endian throughout.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace disk::layout {

constexpr std::size_t kSector = 512;           // the size of an MBR, an EBR and a boot sector read
constexpr std::size_t kBootSignatureAt = 510;  // 16 bits: kBootSignature

// --- MBR and extended boot records: four entries from kMbrEntries ----------------------------------
namespace mbr {
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntries = 4;
constexpr std::size_t kBootFlag = 0;  // 8 bits: 0, or 0x80 for the active one
constexpr std::size_t kType = 4;      // 8 bits
constexpr std::size_t kFirst = 8;     // 32 bits: first sector
constexpr std::size_t kCount = 12;    // 32 bits: sectors
constexpr std::uint8_t kActive = 0x80;
constexpr std::uint8_t kProtective = 0xEE;  // a GPT disk's
}  // namespace mbr

// --- GPT header, in the disk's second sector, and its entries --------------------------------------
namespace gpt {
constexpr std::string_view kSignature = "EFI PART";
constexpr std::size_t kEntriesLba = 72;  // 64 bits
constexpr std::size_t kEntryCount = 80;  // 32 bits
constexpr std::size_t kEntrySize = 84;   // 32 bits
constexpr std::uint32_t kMinEntrySize = 128;
constexpr std::size_t kType = 0;  // 16 bytes: the type GUID, its first three fields little-endian
constexpr std::size_t kGuidSize = 16;
constexpr std::size_t kFirst = 32;  // 64 bits: first sector
constexpr std::size_t kLast = 40;   // 64 bits: last sector, inclusive
}  // namespace gpt

// --- Boot sector of a volume -----------------------------------------------------------------------
namespace boot {
constexpr std::size_t kOem = 3;  // 8 bytes: "NTFS    ", "EXFAT   ", "-FVE-FS-", "ReFS\0\0\0\0"
// The BIOS parameter block of FAT.
constexpr std::size_t kBytesPerSector = 11;       // 16 bits
constexpr std::size_t kSectorsPerCluster = 13;    // 8 bits
constexpr std::size_t kReserved = 14;             // 16 bits: sectors before the first FAT
constexpr std::size_t kFats = 16;                 // 8 bits
constexpr std::size_t kRootEntries = 17;          // 16 bits: 32-byte entries of FAT12/16's root
constexpr std::size_t kTotal16 = 19;              // 16 bits: sectors, when they fit
constexpr std::size_t kMedia = 21;                // 8 bits
constexpr std::size_t kFatSectors16 = 22;         // 16 bits: 0 on FAT32
constexpr std::size_t kTotal32 = 32;              // 32 bits
constexpr std::size_t kFatSectors32 = 36;         // 32 bits
constexpr std::size_t kExtendedSignature16 = 38;  // 8 bits: kExtended, then serial (4) and label (11)
constexpr std::size_t kExtendedSignature32 = 66;
constexpr std::size_t kLabelAfterSignature = 5;
constexpr std::size_t kLabelSize = 11;
constexpr std::uint8_t kExtended = 0x29;
constexpr std::size_t kDirectoryEntry = 32;
// Clusters below these make FAT12, then FAT16; FAT32 above.
constexpr std::uint64_t kFat12Clusters = 4085, kFat16Clusters = 65525;
}  // namespace boot

}  // namespace disk::layout
