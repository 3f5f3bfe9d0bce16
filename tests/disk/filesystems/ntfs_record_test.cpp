// File records as a folder's lookup reads them, built by hand: their update sequence, run lists,
// what a walk needs of their attributes, attribute lists and the pieces of an index put together;
// hostile records refused with what is wrong.
#include "ntfs_record.h"
#include "disk.h"
#include "ntfs_index_kit.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

namespace f = disk::ntfs;
constexpr std::uint64_t kClusters = 1000;

std::string Runs(const std::vector<f::Run>& runs) {
    std::string s;
    for (const f::Run& r : runs)
        s += (s.empty() ? "" : " ") + std::to_string(r.vcn) + "+" + std::to_string(r.length) + "@" +
             (r.lcn ? std::to_string(*r.lcn) : std::string("sparse"));
    return s;
}

struct RunCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint64_t first;
    const char* expect;  // "VCN+LENGTH@LCN ..." or "error: TEXT"
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class RunLists : public testing::TestWithParam<RunCase> {};

TEST_P(RunLists, Decode) {
    const RunCase& c = GetParam();
    std::string got;
    try {
        got = Runs(f::DecodeRuns(c.bytes, c.first, kClusters));
    } catch (const disk::Error& e) {
        got = std::string("error: ") + e.what();
    }
    EXPECT_EQ(got.rfind(c.expect, 0), 0u) << got;
}

INSTANTIATE_TEST_SUITE_P(
    Disk, RunLists,
    testing::Values(
        RunCase{"OneRun", {0x11, 0x04, 0x64, 0x00}, 0, "0+4@100"},
        // The second run's place counts back from the first's.
        RunCase{"BackwardsDelta", {0x21, 0x10, 0x00, 0x01, 0x11, 0x08, 0xF0, 0x00}, 0, "0+16@256 16+8@240"},
        RunCase{"Sparse", {0x11, 0x02, 0x0A, 0x01, 0x05, 0x11, 0x01, 0x01, 0x00}, 7, "7+2@10 9+5@sparse 14+1@11"},
        RunCase{"NoEnd", {0x11, 0x04, 0x64}, 0, "error: a run list without its end"},
        RunCase{"PastItsBytes", {0x31, 0x04, 0x64}, 0, "error: a run list past its attribute"},
        RunCase{"PastTheVolume", {0x21, 0x04, 0xE8, 0x03, 0x00}, 0, "error: a run of 4 clusters at cluster 1000"},
        RunCase{"BeforeTheVolume", {0x11, 0x04, 0xF0, 0x00}, 0, "error: a run of 4 clusters at cluster -16"},
        RunCase{"NothingLong", {0x11, 0x00, 0x04, 0x00}, 0, "error: a run of 0 clusters"}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

const std::vector<std::uint8_t> kRoot{1, 2, 3, 4, 5, 6, 7, 8};
const std::vector<std::uint8_t> kLink{0x03, 0x00, 0x00, 0xA0, 0, 0, 0, 0};

TEST(NtfsRecord, GivesAFoldersIndexAndReparsePoint) {
    ntfskit::RecordKit kit;
    kit.Resident(0x10, u"", std::vector<std::uint8_t>(48))  // $STANDARD_INFORMATION, passed over
        .Resident(f::attribute::kIndexRoot, u"$I30", kRoot)
        .NonResident(f::attribute::kIndexAllocation, u"$I30", {0x11, 0x04, 0x64, 0x00}, 0, 4 * 4096)
        .Resident(f::attribute::kReparsePoint, u"", kLink);
    std::vector<std::uint8_t> bytes = kit.Bytes();
    ASSERT_EQ(f::UndoFixups(bytes, f::record::kSignature), "");
    const f::Record r = f::ParseRecord(bytes, kClusters);
    EXPECT_TRUE(r.inUse && r.folder && r.complete);
    EXPECT_EQ(r.sequence, 3);
    EXPECT_EQ(r.base, 0u);
    EXPECT_EQ(r.indexRoot, kRoot);
    ASSERT_EQ(r.index.size(), 1u);
    EXPECT_EQ(Runs(r.index[0].runs), "0+4@100");
    EXPECT_EQ(r.index[0].size, 4u * 4096);
    EXPECT_EQ(r.reparse, kLink);
}

// An attribute list names the records that hold the index or a reparse point; those pieces put
// together make the whole index, and a gap between them is damage.
TEST(NtfsRecord, AttributeListsNameTheRecordsOfTheIndexAndItsPiecesJoin) {
    const std::vector<std::uint8_t> list = ntfskit::AttributeList({{f::attribute::kIndexRoot, u"$I30", 0, 7},
                                                                   {0x80, u"", 0, 8},
                                                                   {f::attribute::kIndexAllocation, u"$I30", 4, 9},
                                                                   {f::attribute::kIndexAllocation, u"$SII", 0, 10},
                                                                   {f::attribute::kReparsePoint, u"", 0, 11}});
    EXPECT_EQ(f::ListedRecords(list), (std::vector<std::uint64_t>{7, 9, 11}));
    ntfskit::RecordKit kit;
    kit.Resident(f::attribute::kAttributeList, u"", list);
    std::vector<std::uint8_t> bytes = kit.Bytes();
    ASSERT_EQ(f::UndoFixups(bytes, f::record::kSignature), "");
    EXPECT_EQ(f::ParseRecord(bytes, kClusters).listed, (std::vector<std::uint64_t>{7, 9, 11}));

    f::IndexExtent first{0, f::DecodeRuns(std::vector<std::uint8_t>{0x11, 0x04, 0x64, 0x00}, 0, kClusters), 10 * 4096,
                         9 * 4096};
    f::IndexExtent second{4, f::DecodeRuns(std::vector<std::uint8_t>{0x11, 0x06, 0x0A, 0x00}, 4, kClusters), 0, 0};
    const f::IndexExtent joined = f::JoinExtents({second, first});
    EXPECT_EQ(Runs(joined.runs), "0+4@100 4+6@10");
    EXPECT_EQ(joined.size, 10u * 4096);
    EXPECT_EQ(joined.initialized, 9u * 4096);
    second.startVcn = 5;
    second.runs = f::DecodeRuns(std::vector<std::uint8_t>{0x11, 0x06, 0x0A, 0x00}, 5, kClusters);
    EXPECT_THROW(f::JoinExtents({first, second}), disk::Error) << "a gap at VCN 4";
}

struct Damage {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> spoil;  // on the bytes as they lie on disk
    const char* says;  // what UndoFixups or ParseRecord says; "incomplete" when it leaves it to others
};

void PrintTo(const Damage& c, std::ostream* os) {
    *os << c.name;
}

class DamagedRecords : public testing::TestWithParam<Damage> {};

std::vector<std::uint8_t> Folder() {
    ntfskit::RecordKit kit;
    kit.Resident(f::attribute::kIndexRoot, u"$I30", kRoot)
        .NonResident(f::attribute::kIndexAllocation, u"$I30", {0x11, 0x04, 0x64, 0x00}, 0, 4 * 4096);
    return kit.Bytes();
}

constexpr std::size_t kFirst = 0x38;        // where RecordKit puts the first attribute
const std::size_t kSecond = kFirst + 0x28;  // the index root: a header, its name, 8 bytes of value

TEST_P(DamagedRecords, AreNamed) {
    std::vector<std::uint8_t> bytes = Folder();
    GetParam().spoil(bytes);
    std::string said = f::UndoFixups(bytes, f::record::kSignature);
    if (said.empty()) {
        try {
            said = f::ParseRecord(bytes, kClusters).complete ? "read" : "incomplete";
        } catch (const disk::Error& e) {
            said = e.what();
        }
    }
    EXPECT_EQ(said.rfind(GetParam().says, 0), 0u) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Disk, DamagedRecords,
    testing::Values(
        Damage{"AsBuilt", [](std::vector<std::uint8_t>&) {}, "read"},
        Damage{"Signature", [](std::vector<std::uint8_t>& b) { b[0] = 'B'; }, "no \"FILE\" signature"},
        Damage{"TornWrite", [](std::vector<std::uint8_t>& b) { b[1022] ^= 1; }, "a torn write"},
        Damage{"UpdateSequence", [](std::vector<std::uint8_t>& b) { ntfskit::Put16(b, f::multi::kUsaCount, 9); },
               "an update sequence of 9"},
        Damage{"UsedPastTheRecord", [](std::vector<std::uint8_t>& b) { ntfskit::Put32(b, f::record::kUsedSize, 4096); },
               "a record using 4096 bytes"},
        Damage{"AttributeOfNothing",
               [](std::vector<std::uint8_t>& b) { ntfskit::Put32(b, kFirst + f::attribute::kLength, 0); },
               "an attribute of 0 bytes"},
        Damage{"NamePastTheAttribute",
               [](std::vector<std::uint8_t>& b) { b[kFirst + f::attribute::kNameLength] = 200; },
               "an attribute's name past its end"},
        Damage{"ValuePastTheAttribute",
               [](std::vector<std::uint8_t>& b) { ntfskit::Put32(b, kFirst + f::attribute::kValueLength, 4000); },
               "an attribute's value past its end"},
        Damage{"RunsPastTheVolume", [](std::vector<std::uint8_t>& b) { b[kSecond + 0x48 + 2] = 0xF0; },
               "a run of 4 clusters at cluster -16"},
        Damage{"IndexRootNotResident", [](std::vector<std::uint8_t>& b) { b[kFirst + f::attribute::kNonResident] = 1; },
               "a non-resident attribute of 40 bytes"},
        Damage{"CompressedIndex",
               [](std::vector<std::uint8_t>& b) { ntfskit::Put16(b, kSecond + f::attribute::kFlags, 0x0001); },
               "incomplete"}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

}  // namespace
