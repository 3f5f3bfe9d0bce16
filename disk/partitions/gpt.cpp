// The GUID partition table: its header, its entries, and what each entry's type says.
#include "disk.h"
#include "layout_parts.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace disk::layout {
namespace {

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
    std::snprintf(s, sizeof s, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", ReadLe32(g), ReadLe16(g + 4),
                  ReadLe16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return s;
}

}  // namespace

Table ReadGpt(const Reader& read, std::uint64_t size, unsigned sector) {
    std::vector<std::uint8_t> header(sector);
    read(sector, header.data(), sector);
    const std::uint64_t entriesLba = ReadLe64(&header[gpt::kEntriesLba]);
    const std::uint32_t count = ReadLe32(&header[gpt::kEntryCount]);
    const std::uint32_t entrySize = ReadLe32(&header[gpt::kEntrySize]);
    if (count > kMaxGptEntries || entrySize < gpt::kMinEntrySize || entrySize > kMaxGptEntrySize || entrySize % 8 != 0)
        throw Error{"a GPT claiming " + std::to_string(count) + " entries of " + std::to_string(entrySize) +
                    " bytes: not a partition table this disk can hold"};
    const std::uint64_t bytes = std::uint64_t(count) * entrySize;
    if (entriesLba > size / sector || entriesLba * sector + bytes > size)
        throw Error{"the GPT's entries lie past the end of the disk (at sector " + std::to_string(entriesLba) +
                    "): a truncated image?"};
    std::vector<std::uint8_t> entries(bytes);
    if (!entries.empty()) read(entriesLba * sector, entries.data(), entries.size());  // a GPT may list none
    Table t{"GPT", sector, {}};
    static constexpr std::uint8_t kUnused[gpt::kGuidSize] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* e = &entries[std::size_t(i) * entrySize];
        if (std::memcmp(e + gpt::kType, kUnused, gpt::kGuidSize) == 0) continue;
        const std::uint64_t first = ReadLe64(e + gpt::kFirst), last = ReadLe64(e + gpt::kLast);
        if (last < first || first > UINT64_MAX / sector || last >= UINT64_MAX / sector) continue;
        Slice s;
        s.partition = i + 1;
        s.offset = first * sector;
        s.length = (last - first + 1) * sector;
        const std::string guid = GuidText(e + gpt::kType);
        for (const GptType& type : kGptTypes)
            if (guid == type.guid) {
                s.typeSays = type.content;
                s.windowsType = type.windows;
            }
        t.slices.push_back(s);
    }
    return t;
}

}  // namespace disk::layout
