// The MBR: four primary entries, and the chain of extended boot records that names the logical
// partitions; what each entry's type says.
#include "disk.h"
#include "layout_parts.h"

#include <set>

namespace disk::layout {
namespace {

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

}  // namespace

std::optional<Table> ReadMbr(const Reader& read, std::uint64_t size, unsigned hint) {
    if (size < kSector) return std::nullopt;
    std::uint8_t mbr[kSector];
    read(0, mbr, sizeof mbr);
    if (ReadLe16(mbr + kBootSignatureAt) != kBootSignature || IsVolume(Probe(mbr, sizeof mbr))) return std::nullopt;
    // Four entries with a boot flag of 0 or 0x80 and at least one partition: a table.
    bool any = false;
    for (std::size_t i = 0; i < mbr::kEntries; ++i) {
        const std::uint8_t* e = mbr + kMbrEntries + mbr::kEntrySize * i;
        if ((e[mbr::kBootFlag] != 0 && e[mbr::kBootFlag] != mbr::kActive)) return std::nullopt;
        if (e[mbr::kType] == mbr::kProtective)
            throw Error{"a protective MBR without a GPT behind it: a damaged GPT disk"};
        any = any || (e[mbr::kType] != 0 && ReadLe32(e + mbr::kCount) != 0);
    }
    if (!any) return std::nullopt;

    unsigned sector = hint != 0 ? hint : 512;
    if (hint == 0) {
        // A disk with 4096-byte sectors counts its MBR in those: tell by where a volume starts.
        for (std::size_t i = 0; i < mbr::kEntries; ++i) {
            const std::uint8_t* e = mbr + kMbrEntries + mbr::kEntrySize * i;
            if (e[mbr::kType] == 0 || IsExtended(e[mbr::kType])) continue;
            const std::uint64_t start = ReadLe32(e + mbr::kFirst);
            if (!IsVolume(ProbeAt(read, size, start * 512)) && IsVolume(ProbeAt(read, size, start * 4096)))
                sector = 4096;
            break;
        }
    }
    Table t{"MBR", sector, {}};
    for (unsigned i = 0; i < mbr::kEntries; ++i) {
        const std::uint8_t* e = mbr + kMbrEntries + mbr::kEntrySize * i;
        const std::uint8_t type = e[mbr::kType];
        const std::uint64_t start = ReadLe32(e + mbr::kFirst), count = ReadLe32(e + mbr::kCount);
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
            if (ebr * sector + kSector > size)
                throw Error{"an extended boot record at sector " + std::to_string(ebr) +
                            " lies past the end of the disk: a truncated image?"};
            std::uint8_t record[kSector];
            read(ebr * sector, record, sizeof record);
            if (ReadLe16(record + kBootSignatureAt) != kBootSignature) break;
            const std::uint8_t* logical = record + kMbrEntries;
            const std::uint8_t* next = record + kMbrEntries + mbr::kEntrySize;
            if (logical[mbr::kType] != 0 && ReadLe32(logical + mbr::kCount) != 0) {
                Slice s{number++, (ebr + ReadLe32(logical + mbr::kFirst)) * sector,
                        std::uint64_t(ReadLe32(logical + mbr::kCount)) * sector, Content::Unknown, false};
                ClassifyMbr(logical[mbr::kType], s);
                t.slices.push_back(s);
            }
            if (!IsExtended(next[mbr::kType]) || ReadLe32(next + mbr::kFirst) == 0) break;
            ebr = base + ReadLe32(next + mbr::kFirst);
        }
    }
    return t;
}

}  // namespace disk::layout
