#include "Layout.h"

#include "Disk.h"

#include <array>
#include <cstring>
#include <set>

namespace disk::layout {
namespace {

std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(Le16(p)) | std::uint32_t(Le16(p + 2)) << 16;
}
std::uint64_t Le64(const std::uint8_t* p) {
    return Le32(p) | std::uint64_t(Le32(p + 4)) << 32;
}

bool At(const std::uint8_t* p, std::size_t length, std::size_t offset, std::string_view magic) {
    return length >= offset + magic.size() && std::memcmp(p + offset, magic.data(), magic.size()) == 0;
}

constexpr std::string_view kGptSignature = "EFI PART";

// GPT type GUIDs, as printed (the first three fields are stored little-endian).
struct GptType {
    const char* guid;
    Content content;
    bool windows;
};
constexpr std::array kGptTypes{
    GptType{"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", Content::Unknown, true},  // basic data: probe
    GptType{"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", Content::Unknown, true},  // Windows recovery
    GptType{"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", Content::Fat, false},     // EFI system
    GptType{"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", Content::Skip, false},    // Microsoft reserved
    GptType{"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", Content::Ldm, true},      // LDM metadata
    GptType{"AF9B60A0-1431-4F62-BC68-3311714A69AD", Content::Ldm, true},      // LDM data
    GptType{"E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D", Content::StorageSpaces, true},
    GptType{"E6D6D379-F507-44C2-A23C-238F2A3DF928", Content::Lvm, false},
    GptType{"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", Content::Skip, false},  // Linux swap
    GptType{"21686148-6449-6E6F-744E-656564454649", Content::Skip, false},  // BIOS boot
};

std::string GuidText(const std::uint8_t* g) {
    char s[37];
    std::snprintf(s, sizeof s, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Le32(g), Le16(g + 4), Le16(g + 6),
                  g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return s;
}

void ClassifyMbr(std::uint8_t type, Slice& s) {
    switch (type) {
        case 0x01:
        case 0x04:
        case 0x06:
        case 0x0B:
        case 0x0C:
        case 0x0E:
        case 0x11:
        case 0x14:
        case 0x16:
        case 0x1B:
        case 0x1C:
        case 0x1E:
            s.typeSays = Content::Fat;
            s.windowsType = true;
            break;
        case 0x07:
        case 0x17:
        case 0x27:  // NTFS, exFAT or ReFS; hidden; recovery
            s.typeSays = Content::Unknown;
            s.windowsType = true;
            break;
        case 0x42:
            s.typeSays = Content::Ldm;
            s.windowsType = true;
            break;
        case 0x8E:
            s.typeSays = Content::Lvm;
            break;
        case 0x82:
            s.typeSays = Content::Skip;
            break;
        case 0xEF:
            s.typeSays = Content::Fat;
            break;
        default:
            s.typeSays = Content::Unknown;
            break;
    }
}

bool IsExtended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

bool IsVolume(Content c) {
    return c == Content::Ntfs || c == Content::Fat || c == Content::ExFat || c == Content::ReFs ||
           c == Content::BitLocker;
}

Table ReadGpt(const Reader& read, std::uint64_t size, unsigned sector) {
    std::vector<std::uint8_t> header(sector);
    read(sector, header.data(), sector);
    const std::uint64_t entriesLba = Le64(&header[72]);
    const std::uint32_t count = Le32(&header[80]);
    const std::uint32_t entrySize = Le32(&header[84]);
    if (count > kMaxGptEntries || entrySize < 128 || entrySize > kMaxGptEntrySize || entrySize % 8 != 0)
        throw Error{"a GPT claiming " + std::to_string(count) + " entries of " + std::to_string(entrySize) +
                    " bytes: not a partition table this disk can hold"};
    const std::uint64_t bytes = std::uint64_t(count) * entrySize;
    if (entriesLba > size / sector || entriesLba * sector + bytes > size)
        throw Error{"the GPT's entries lie past the end of the disk (at sector " + std::to_string(entriesLba) +
                    "): a truncated image?"};
    std::vector<std::uint8_t> entries(bytes);
    if (!entries.empty()) read(entriesLba * sector, entries.data(), entries.size());  // a GPT may list none
    Table t{"GPT", sector, {}};
    static constexpr std::uint8_t kZero[16] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = &entries[std::size_t(i) * entrySize];
        if (std::memcmp(e, kZero, 16) == 0) continue;
        const std::uint64_t first = Le64(e + 32), last = Le64(e + 40);
        if (last < first || first > UINT64_MAX / sector || last >= UINT64_MAX / sector) continue;
        Slice s;
        s.partition = i + 1;
        s.offset = first * sector;
        s.length = (last - first + 1) * sector;
        const std::string guid = GuidText(e);
        for (const GptType& type : kGptTypes)
            if (guid == type.guid) {
                s.typeSays = type.content;
                s.windowsType = type.windows;
            }
        t.slices.push_back(s);
    }
    return t;
}

Content ProbeAt(const Reader& read, std::uint64_t size, std::uint64_t offset) {
    if (offset >= size || size - offset < 512) return Content::Unknown;
    std::uint8_t head[512];
    read(offset, head, sizeof head);
    return Probe(head, sizeof head);
}

}  // namespace

Content Probe(const std::uint8_t* p, std::size_t length) {
    if (length < 512) return Content::Unknown;
    if (At(p, length, 3, "-FVE-FS-")) return Content::BitLocker;
    if (At(p, length, 3, "NTFS    ")) return Content::Ntfs;
    if (At(p, length, 3, "EXFAT   ")) return Content::ExFat;
    if (At(p, length, 3, std::string_view("ReFS\0\0\0\0", 8))) return Content::ReFs;
    if (At(p, length, 0, "LUKS\xba\xbe")) return Content::Luks;
    for (std::size_t sector = 0; sector < 4; ++sector)
        if (At(p, length, sector * 512, "LABELONE")) return Content::Lvm;
    const std::uint16_t bytesPerSector = Le16(p + 11);
    const std::uint8_t perCluster = p[13];
    const bool powerOfTwo = perCluster != 0 && (perCluster & (perCluster - 1)) == 0;
    if (Le16(p + 510) == kBootSignature &&
        (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
        powerOfTwo && Le16(p + 14) >= 1 && (p[16] == 1 || p[16] == 2) && (p[21] == 0xF0 || p[21] >= 0xF8) &&
        (Le16(p + 22) != 0 || Le32(p + 36) != 0))
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
    if (length < 512) return "";
    const bool fat32 = Le16(p + 22) == 0;
    const std::size_t sig = fat32 ? 66 : 38;
    if (p[sig] != 0x29) return "";
    std::string label(reinterpret_cast<const char*>(p + sig + 5), 11);
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
    if (label == "NO NAME") return "";
    for (char& c : label)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return label;
}

std::string FatKind(const std::uint8_t* p, std::size_t length) {
    if (length < 512) return "FAT";
    const std::uint32_t bytesPerSector = Le16(p + 11), perCluster = p[13];
    if (bytesPerSector == 0 || perCluster == 0) return "FAT";
    const std::uint64_t total = Le16(p + 19) != 0 ? Le16(p + 19) : Le32(p + 32);
    const std::uint64_t fatSectors = Le16(p + 22) != 0 ? Le16(p + 22) : Le32(p + 36);
    const std::uint64_t rootSectors = (std::uint64_t(Le16(p + 17)) * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t meta = Le16(p + 14) + p[16] * fatSectors + rootSectors;
    const std::uint64_t clusters = total > meta ? (total - meta) / perCluster : 0;
    return clusters < 4085 ? "FAT12" : clusters < 65525 ? "FAT16" : "FAT32";
}

Table ReadTable(const Reader& read, std::uint64_t size, unsigned hint) {
    Table bare{"none", hint != 0 ? hint : 512, {Slice{0, 0, size, Content::Unknown, true}}};
    if (size < 512) return bare;
    std::uint8_t mbr[512];
    read(0, mbr, sizeof mbr);
    for (const unsigned sector : hint == 4096 ? std::array{4096u, 512u} : std::array{512u, 4096u}) {
        if (size < 2ull * sector) continue;
        char signature[8];
        read(sector, signature, sizeof signature);
        if (std::memcmp(signature, kGptSignature.data(), kGptSignature.size()) == 0) return ReadGpt(read, size, sector);
    }
    if (Le16(mbr + 510) != kBootSignature || IsVolume(Probe(mbr, sizeof mbr))) return bare;
    // Four entries with a boot flag of 0 or 0x80 and at least one partition: a table.
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* e = mbr + kMbrEntries + 16 * i;
        if ((e[0] != 0 && e[0] != 0x80)) return bare;
        if (e[4] == 0xEE) throw Error{"a protective MBR without a GPT behind it: a damaged GPT disk"};
        any = any || (e[4] != 0 && Le32(e + 12) != 0);
    }
    if (!any) return bare;

    unsigned sector = hint != 0 ? hint : 512;
    if (hint == 0) {
        // A disk with 4096-byte sectors counts its MBR in those: tell by where a volume starts.
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* e = mbr + kMbrEntries + 16 * i;
            if (e[4] == 0 || IsExtended(e[4])) continue;
            const std::uint64_t start = Le32(e + 8);
            if (!IsVolume(ProbeAt(read, size, start * 512)) && IsVolume(ProbeAt(read, size, start * 4096)))
                sector = 4096;
            break;
        }
    }
    Table t{"MBR", sector, {}};
    for (unsigned i = 0; i < 4; ++i) {
        const std::uint8_t* e = mbr + kMbrEntries + 16 * i;
        const std::uint8_t type = e[4];
        const std::uint64_t start = Le32(e + 8), count = Le32(e + 12);
        if (type == 0 || count == 0) continue;
        if (!IsExtended(type)) {
            Slice s{i + 1, start * sector, count * sector, Content::Unknown, false};
            ClassifyMbr(type, s);
            t.slices.push_back(s);
            continue;
        }
        // The chain of extended boot records: each names one logical partition (relative to
        // itself) and the next record (relative to the extended partition).
        const std::uint64_t base = start;
        std::uint64_t ebr = start;
        std::set<std::uint64_t> seen;
        unsigned number = 5;
        for (;;) {
            if (!seen.insert(ebr).second)
                throw Error{"the extended partitions loop back to sector " + std::to_string(ebr)};
            if (seen.size() > kMaxLogical)
                throw Error{"more than " + std::to_string(kMaxLogical) + " logical partitions: a damaged table"};
            if (ebr * sector + 512 > size)
                throw Error{"an extended boot record at sector " + std::to_string(ebr) +
                            " lies past the end of the disk: a truncated image?"};
            std::uint8_t record[512];
            read(ebr * sector, record, sizeof record);
            if (Le16(record + 510) != kBootSignature) break;
            const std::uint8_t* logical = record + kMbrEntries;
            const std::uint8_t* next = record + kMbrEntries + 16;
            if (logical[4] != 0 && Le32(logical + 12) != 0) {
                Slice s{number++, (ebr + Le32(logical + 8)) * sector, std::uint64_t(Le32(logical + 12)) * sector,
                        Content::Unknown, false};
                ClassifyMbr(logical[4], s);
                t.slices.push_back(s);
            }
            if (!IsExtended(next[4]) || Le32(next + 8) == 0) break;
            ebr = base + Le32(next + 8);
        }
    }
    return t;
}

}  // namespace disk::layout
