// What lies on a disk: its table found (GPT, else MBR, else a bare volume), and what each volume
// holds, told from its first sector.
#include "layout.h"

#include "disk.h"
#include "layout_parts.h"

#include <array>
#include <cstring>

namespace disk::layout {
namespace {

bool At(const std::uint8_t* p, std::size_t length, std::size_t offset, std::string_view magic) {
    return length >= offset + magic.size() && std::memcmp(p + offset, magic.data(), magic.size()) == 0;
}

}  // namespace

bool IsVolume(Content c) {
    return c == Content::Ntfs || c == Content::Fat || c == Content::ExFat || c == Content::ReFs ||
           c == Content::BitLocker;
}

Content ProbeAt(const Reader& read, std::uint64_t size, std::uint64_t offset) {
    if (offset >= size || size - offset < kSector) return Content::Unknown;
    std::uint8_t head[kSector];
    read(offset, head, sizeof head);
    return Probe(head, sizeof head);
}

Content Probe(const std::uint8_t* p, std::size_t length) {
    using namespace boot;
    if (length < kSector) return Content::Unknown;
    if (At(p, length, kOem, "-FVE-FS-")) return Content::BitLocker;
    if (At(p, length, kOem, "NTFS    ")) return Content::Ntfs;
    if (At(p, length, kOem, "EXFAT   ")) return Content::ExFat;
    if (At(p, length, kOem, std::string_view("ReFS\0\0\0\0", 8))) return Content::ReFs;
    if (At(p, length, 0, "LUKS\xba\xbe")) return Content::Luks;
    // LVM's label lies in one of the first four sectors.
    for (std::size_t sector = 0; sector < 4; ++sector)
        if (At(p, length, sector * kSector, "LABELONE")) return Content::Lvm;
    const std::uint16_t bytesPerSector = ReadLe16(p + kBytesPerSector);
    const std::uint8_t perCluster = p[kSectorsPerCluster];
    const bool powerOfTwo = perCluster != 0 && (perCluster & (perCluster - 1)) == 0;
    if (ReadLe16(p + kBootSignatureAt) == kBootSignature &&
        (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
        powerOfTwo && ReadLe16(p + kReserved) >= 1 && (p[kFats] == 1 || p[kFats] == 2) &&
        (p[kMedia] == 0xF0 || p[kMedia] >= 0xF8) &&
        (ReadLe16(p + kFatSectors16) != 0 || ReadLe32(p + kFatSectors32) != 0))
        return Content::Fat;
    return Content::Unknown;
}

std::string Refusal(Content c) {
    switch (c) {
        case Content::ExFat:
            return "an exFAT volume, where no Windows installs itself";
        case Content::ReFs:
            return "a ReFS volume, which this reader cannot read";
        case Content::BitLocker:
            return "a BitLocker-encrypted volume (-FVE-FS-): unlock it in Windows, or give a decrypted image";
        case Content::Lvm:
            return "an LVM physical volume, which holds Linux logical volumes, not a Windows volume";
        case Content::Ldm:
            return "a Windows dynamic disk (LDM), whose volumes this reader cannot assemble";
        case Content::StorageSpaces:
            return "a Storage Spaces pool member, whose volumes this reader cannot assemble";
        case Content::Luks:
            return "a LUKS-encrypted volume";
        case Content::Unknown:
            return "an unknown or encrypted volume (no NTFS or FAT boot sector)";
        default:
            return "";
    }
}

std::string FatLabel(const std::uint8_t* p, std::size_t length) {
    using namespace boot;
    if (length < kSector) return "";
    const bool fat32 = ReadLe16(p + kFatSectors16) == 0;
    const std::size_t sig = fat32 ? kExtendedSignature32 : kExtendedSignature16;
    if (p[sig] != kExtended) return "";
    std::string label(reinterpret_cast<const char*>(p + sig + kLabelAfterSignature), kLabelSize);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    if (label == "NO NAME") return "";
    for (char& c : label)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return label;
}

std::string FatKind(const std::uint8_t* p, std::size_t length) {
    using namespace boot;
    if (length < kSector) return "FAT";
    const std::uint32_t bytesPerSector = ReadLe16(p + kBytesPerSector), perCluster = p[kSectorsPerCluster];
    if (bytesPerSector == 0 || perCluster == 0) return "FAT";
    const std::uint64_t total = ReadLe16(p + kTotal16) != 0 ? ReadLe16(p + kTotal16) : ReadLe32(p + kTotal32);
    const std::uint64_t fatSectors =
        ReadLe16(p + kFatSectors16) != 0 ? ReadLe16(p + kFatSectors16) : ReadLe32(p + kFatSectors32);
    const std::uint64_t rootSectors =
        (std::uint64_t(ReadLe16(p + kRootEntries)) * kDirectoryEntry + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t meta = ReadLe16(p + kReserved) + p[kFats] * fatSectors + rootSectors;
    const std::uint64_t clusters = total > meta ? (total - meta) / perCluster : 0;
    return clusters < kFat12Clusters ? "FAT12" : clusters < kFat16Clusters ? "FAT16" : "FAT32";
}

Table ReadTable(const Reader& read, std::uint64_t size, unsigned hint) {
    Table bare{"none", hint != 0 ? hint : unsigned(kSector), {Slice{0, 0, size, Content::Unknown, true}}};
    if (size < kSector) return bare;
    for (const unsigned sector : hint == 4096 ? std::array{4096u, 512u} : std::array{512u, 4096u}) {
        if (size < 2ull * sector) continue;
        char signature[8];
        read(sector, signature, sizeof signature);
        if (std::memcmp(signature, gpt::kSignature.data(), gpt::kSignature.size()) == 0)
            return ReadGpt(read, size, sector);
    }
    std::optional<Table> mbr = ReadMbr(read, size, hint);
    return mbr ? *mbr : bare;
}

}  // namespace disk::layout
