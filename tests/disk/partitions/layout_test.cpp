// The partition walk on tables written in memory: MBR with its extended chain, GPT, and the
// refusals of tables that lie.
#include "layout.h"
#include "byte_order.h"
#include "disk.h"
#include "layout_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace mbr = disk::layout::mbr;
namespace gpt = disk::layout::gpt;

struct MemoryDisk {
    std::vector<std::uint8_t> bytes;
    explicit MemoryDisk(std::size_t size) : bytes(size) {}
    void Put32(std::size_t at, std::uint32_t v) { WriteLe32(&bytes[at], v); }
    void Entry(std::size_t sector, unsigned index, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
        const std::size_t e = sector + disk::layout::kMbrEntries + mbr::kEntrySize * index;
        bytes[e + mbr::kType] = type;
        Put32(e + mbr::kFirst, start);
        Put32(e + mbr::kCount, count);
        bytes[sector + disk::layout::kBootSignatureAt] = 0x55;
        bytes[sector + disk::layout::kBootSignatureAt + 1] = 0xAA;
    }
    void Ntfs(std::size_t at) { std::memcpy(&bytes[at + disk::layout::boot::kOem], "NTFS    ", 8); }
    // A GPT header in the sector at `at`: its entries from `lba`, `count` of `size` bytes.
    void Gpt(std::size_t at, std::uint32_t lba, std::uint32_t count, std::uint32_t size) {
        std::memcpy(&bytes[at], gpt::kSignature.data(), gpt::kSignature.size());
        Put32(at + gpt::kEntriesLba, lba);
        Put32(at + gpt::kEntryCount, count);
        Put32(at + gpt::kEntrySize, size);
    }
    disk::layout::Table Walk(unsigned hint = 0) const {
        return disk::layout::ReadTable(
            [this](std::uint64_t offset, void* out, std::size_t length) {
                if (offset > bytes.size() || length > bytes.size() - offset) throw disk::Error{"past the end"};
                std::memcpy(out, &bytes[offset], length);
            },
            bytes.size(), hint);
    }
};

struct TableCase {
    const char* name;
    std::function<void(MemoryDisk&)> make;
    std::string expect;  // "SCHEME/SECTOR: partition@offset+length ..." or "error: TEXT"
};

std::string Render(const disk::layout::Table& t) {
    std::string s = t.scheme + "/" + std::to_string(t.sectorSize) + ":";
    for (const auto& slice : t.slices)
        s += " " + std::to_string(slice.partition) + "@" + std::to_string(slice.offset) + "+" +
             std::to_string(slice.length);
    return s;
}

void PrintTo(const TableCase& c, std::ostream* os) {
    *os << c.name;
}

class Tables : public testing::TestWithParam<TableCase> {};

TEST_P(Tables, Walk) {
    MemoryDisk d(1 << 20);
    GetParam().make(d);
    std::string got;
    try {
        got = Render(d.Walk());
    } catch (const disk::Error& e) {
        got = std::string("error: ") + e.what();
    }
    if (GetParam().expect.rfind("error: ", 0) == 0) {
        EXPECT_EQ(got.rfind(GetParam().expect, 0), 0u) << got;
    } else {
        EXPECT_EQ(got, GetParam().expect);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disk, Tables,
    testing::Values(TableCase{"Blank", [](MemoryDisk&) {}, "none/512: 0@0+1048576"},
                    // A boot sector ends in 55 AA too, and its BPB is no partition entry.
                    TableCase{"NtfsBootSector",
                              [](MemoryDisk& d) {
                                  d.Entry(0, 0, 0x07, 1, 10);
                                  d.Ntfs(0);
                              },
                              "none/512: 0@0+1048576"},
                    TableCase{"Primary", [](MemoryDisk& d) { d.Entry(0, 1, 0x07, 128, 256); },
                              "MBR/512: 2@65536+131072"},
                    // Sector counts of a 4096-byte-sector disk: the volume lies where 4096 puts it.
                    TableCase{"FourKSectors",
                              [](MemoryDisk& d) {
                                  d.Entry(0, 0, 0x07, 16, 64);
                                  d.Ntfs(16 * 4096);
                              },
                              "MBR/4096: 1@65536+262144"},
                    TableCase{"LogicalChain",
                              [](MemoryDisk& d) {
                                  d.Entry(0, 0, 0x0F, 100, 1000);
                                  d.Entry(100 * 512, 0, 0x07, 10, 20);    // logical 5 at 110
                                  d.Entry(100 * 512, 1, 0x05, 200, 300);  // next record at 100 + 200
                                  d.Entry(300 * 512, 0, 0x07, 10, 30);    // logical 6 at 310
                              },
                              "MBR/512: 5@56320+10240 6@158720+15360"},
                    TableCase{"ExtendedPointsAtItself",
                              [](MemoryDisk& d) {
                                  d.Entry(0, 0, 0x05, 100, 1000);
                                  d.Entry(100 * 512, 1, 0x05, 50, 10);
                                  d.Entry(150 * 512, 1, 0x05, 50, 10);  // base 100 + 50 again
                              },
                              "error: the extended partitions loop back to sector 150"},
                    TableCase{"ExtendedPastTheEnd", [](MemoryDisk& d) { d.Entry(0, 0, 0x05, 100000, 10); },
                              "error: an extended boot record at sector 100000 lies past the end"},
                    TableCase{"ProtectiveWithoutGpt", [](MemoryDisk& d) { d.Entry(0, 0, 0xEE, 1, 2047); },
                              "error: a protective MBR without a GPT"},
                    TableCase{"GptHugeCount", [](MemoryDisk& d) { d.Gpt(512, 2, 0x7FFFFFFF, 128); },
                              "error: a GPT claiming 2147483647 entries"},
                    TableCase{"GptEntriesPastTheEnd", [](MemoryDisk& d) { d.Gpt(512, 0xFFFFFF, 128, 128); },
                              "error: the GPT's entries lie past the end"},
                    TableCase{"Gpt4096",
                              [](MemoryDisk& d) {
                                  d.Gpt(4096, 2, 4, 128);
                                  d.bytes[8192 + 128 + gpt::kType] = 1;  // entry 2: a type, sectors 6..9
                                  d.Put32(8192 + 128 + gpt::kFirst, 6);
                                  d.Put32(8192 + 128 + gpt::kLast, 9);
                              },
                              "GPT/4096: 2@24576+16384"}),
    [](const testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

}  // namespace
