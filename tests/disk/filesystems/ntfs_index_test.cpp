// A folder's index of names searched and listed on index blocks built by hand: every name of a
// two-level tree found without regard to case, the names between them missing, and hostile blocks
// refused by name rather than followed.
#include "ntfs_index.h"
#include "disk.h"
#include "ntfs_index_kit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

namespace {

namespace f = disk::ntfs;

constexpr std::uint32_t kCluster = 4096;

// A root whose first entry's subnode is block 0 and whose last entry's subnode is block 1.
struct Tree {
    std::vector<std::uint8_t> root;
    std::vector<std::uint8_t> allocation;

    Tree() {
        root = ntfskit::Root(ntfskit::Node({{u"Mid", 4, 0}, {u"", 0, 1}}));
        Add(ntfskit::Block(0, ntfskit::Node({{u"Alpha", 1}, {u"config", 2, {}, true}, {u"Kernel", 3}, {}})));
        Add(ntfskit::Block(1,
                           ntfskit::Node({{u"System32", 5, {}, true}, {u"Windows", 6, {}, true}, {u"zeta", 7}, {}})));
    }
    void Add(const std::vector<std::uint8_t>& block) {
        allocation.insert(allocation.end(), block.begin(), block.end());
    }

    disk::ntfs::FolderIndex Index() const {
        return {"disk.raw, partition 3, Windows", root, allocation.size(), kCluster,
                [this](std::uint64_t offset, void* out, std::size_t length) {
                    if (offset > allocation.size() || length > allocation.size() - offset)
                        throw disk::Error{"past the end"};
                    std::memcpy(out, allocation.data() + offset, length);
                }};
    }
};

TEST(NtfsIndex, FindsEveryNameWithoutRegardToCaseAndNothingBetween) {
    const std::map<std::u16string, std::uint64_t> found{{u"alpha", 1},    {u"CONFIG", 2},  {u"kernel", 3}, {u"mid", 4},
                                                        {u"system32", 5}, {u"WINDOWS", 6}, {u"Zeta", 7}};
    const Tree tree;
    const f::UpCase upcase;
    for (const auto& [name, reference] : found) {
        const auto e = tree.Index().Find(name, upcase);
        ASSERT_TRUE(e) << std::string(name.begin(), name.end());
        EXPECT_EQ(e->reference, reference);
    }
    for (const std::u16string name : {u"", u"Aardvark", u"Beta", u"Lima", u"Mida", u"T", u"zz"})
        EXPECT_FALSE(tree.Index().Find(name, upcase)) << std::string(name.begin(), name.end());
}

TEST(NtfsIndex, ListsEveryEntryInOrder) {
    std::vector<std::u16string> names;
    Tree().Index().ForEach([&](const f::IndexEntry& e) { names.push_back(e.name); });
    EXPECT_EQ(names,
              (std::vector<std::u16string>{u"Alpha", u"config", u"Kernel", u"Mid", u"System32", u"Windows", u"zeta"}));
}

TEST(NtfsIndex, NamesCompareThroughTheVolumesUpperCaseTable) {
    std::vector<std::uint8_t> table(f::kUpCaseBytes);
    for (std::size_t u = 0; u < 65536; ++u)
        ntfskit::Put16(table, 2 * u, std::uint16_t(u >= 'a' && u <= 'z' ? u - 32 : u));
    ntfskit::Put16(table, 2 * 0xE9, 0xC9);  // é upper-cases to É on this volume
    EXPECT_EQ(f::Collate(u"caf\u00E9", u"CAF\u00C9", f::UpCase(table)), 0);
    EXPECT_NE(f::Collate(u"caf\u00E9", u"CAF\u00C9", f::UpCase()), 0) << "ASCII letters only without the table";
    EXPECT_LT(f::Collate(u"ab", u"ABC", f::UpCase()), 0);
    EXPECT_GT(f::Collate(u"b", u"ABC", f::UpCase()), 0);
    EXPECT_EQ(f::Collate(u"", u"", f::UpCase()), 0);
}

struct Hostile {
    const char* name;
    std::function<void(Tree&)> spoil;
    const char* says;
};

void PrintTo(const Hostile& c, std::ostream* os) {
    *os << c.name;
}

class HostileIndex : public testing::TestWithParam<Hostile> {};

// Each damage is named, with the folder, by a lookup that reaches it and by a listing.
TEST_P(HostileIndex, IsRefusedByName) {
    Tree tree;
    GetParam().spoil(tree);
    for (const bool list : {false, true}) {
        try {
            if (list) tree.Index().ForEach([](const f::IndexEntry&) {});
            else tree.Index().Find(u"zzz", f::UpCase());
            ADD_FAILURE() << (list ? "listed" : "searched") << " a damaged index";
        } catch (const disk::Error& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("disk.raw, partition 3, Windows: the folder's index of names is damaged (", 0), 0u)
                << what;
            EXPECT_NE(what.find(GetParam().says), std::string::npos) << what;
        }
    }
}

// Block 1 again, its last entry pointing at `vcn`.
std::vector<std::uint8_t> Pointing(std::uint64_t at, std::uint64_t vcn) {
    return ntfskit::Block(at, ntfskit::Node({{u"System32", 5}, {u"", 0, vcn}}));
}

INSTANTIATE_TEST_SUITE_P(
    Disk, HostileIndex,
    testing::Values(Hostile{"NotFileNames", [](Tree& t) { ntfskit::Put32(t.root, f::root::kIndexedType, 0); },
                            "not an index of file names"},
                    Hostile{"HugeBlocks", [](Tree& t) { ntfskit::Put32(t.root, f::root::kBlockSize, 1u << 20); },
                            "index blocks of 1048576 bytes"},
                    Hostile{"ALoop",
                            [](Tree& t) {
                                t.allocation.resize(kCluster);
                                t.Add(Pointing(1, 1));
                            },
                            "(a loop)"},
                    Hostile{"BackUp",
                            [](Tree& t) {
                                t.allocation.resize(kCluster);
                                t.Add(Pointing(1, 2));
                                t.Add(Pointing(2, 1));
                            },
                            "(a loop)"},
                    Hostile{"DeeperThanTheBound",
                            [](Tree& t) {
                                t.allocation.resize(kCluster);
                                for (std::uint64_t vcn = 1; vcn <= std::uint64_t(f::kMaxIndexDepth) + 1; ++vcn)
                                    t.Add(Pointing(vcn, vcn + 1));
                                t.Add(ntfskit::Block(f::kMaxIndexDepth + 2, ntfskit::Node({{}})));
                            },
                            "deeper than 32 levels"},
                    Hostile{"TornWrite", [](Tree& t) { t.allocation[kCluster + 3 * f::kFixupStride - 1] ^= 0xFF; },
                            "a torn write"},
                    Hostile{"WrongVcn", [](Tree& t) { ntfskit::Put64(t.allocation, kCluster + f::block::kVcn, 5); },
                            "it says it lies at VCN 5"},
                    Hostile{"NoSignature", [](Tree& t) { t.allocation[kCluster] = 'X'; }, "no \"INDX\" signature"},
                    Hostile{"PastTheAllocation", [](Tree& t) { t.allocation.resize(kCluster); },
                            "past the end of the index (4096 bytes)"},
                    Hostile{"EntryPastTheNode",
                            [](Tree& t) {
                                // The root's first entry claims more bytes than its node holds.
                                ntfskit::Put16(t.root, f::root::kNode + f::node::kSize + f::entry::kLength, 0xFFF0);
                            },
                            "an entry of 65520 bytes"},
                    Hostile{"NameLongerThanItsEntry",
                            [](Tree& t) {
                                t.root[f::root::kNode + f::node::kSize + f::entry::kKey + f::filename::kNameLength] =
                                    200;
                            },
                            "a name longer than its entry"},
                    Hostile{"NoLastEntry",
                            [](Tree& t) {
                                // The root's node ends after its first entry, which is not the last.
                                const std::size_t first = ntfskit::Node({{u"Mid", 4, 0}}).size();
                                ntfskit::Put32(t.root, f::root::kNode + f::node::kIndexLength, std::uint32_t(first));
                            },
                            "the entries run past the node without a last one"},
                    Hostile{"SubnodeInALeaf", [](Tree& t) { t.root[f::root::kNode + f::node::kFlags] = 0; },
                            "an entry with a subnode in a node without children"}),
    [](const testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

}  // namespace
