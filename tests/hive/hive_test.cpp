// Hives read back: clean ones the writer made, dirty ones with logs written here from the format's
// description, and damaged ones, which are refused with the file and the offset named.
#include "byte_order.h"
#include "hex.h"
#include "hive_kit.h"
#include "read_ahead.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace hivekit;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A folder of this run's own, removed when the tests end.
const fs::path& Scratch() {
    static const struct Dir {
        fs::path path;
        Dir() {
            std::string pattern = (fs::path(::testing::TempDir()) / "hive_tests.XXXXXX").string();
            path = ::mkdtemp(pattern.data()) ? pattern : throw std::runtime_error("mkdtemp: " + pattern);
        }
        ~Dir() {
            std::error_code ec;
            fs::remove_all(path, ec);
        }
    } dir;
    return dir.path;
}

void Save(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The hive with one name's bytes replaced by another's of the same length, where the writer would
// refuse them: names alike but for case.
Bytes Rename(Bytes h, std::string_view from, std::string_view to) {
    const auto at = std::search(h.begin() + 4096, h.end(), from.begin(), from.end());
    if (at == h.end()) ADD_FAILURE() << "no name " << from;
    else std::copy(to.begin(), to.end(), at);
    return h;
}

struct Files {
    Bytes primary;
    std::vector<std::pair<std::string, Bytes>> logs = {};  // file names beside the primary
    // What reading gives: the tree, or a refusal holding every one of `error`.
    std::string tree = {};
    std::vector<std::string> error = {}, warning = {};
    std::vector<std::string> applied = {};  // file names of the logs replayed
};

std::uint32_t FindKey(const Bytes& h, std::string_view name) {
    const std::uint32_t rec = KeyRecord(h, name);
    if (rec == 0) ADD_FAILURE() << "no key " << name;
    return rec;
}
std::string Offset(std::uint64_t v) {
    return "offset " + Hex(v);
}

Node Chain(int levels) {
    Node n{u"k", {}, {}};
    for (int i = 1; i < levels; ++i) n = Node{u"k", {}, {n}};
    return n;
}

// State(2) with its root's "state" dword set to `n` in place: a change of one page.
Node Changed(std::uint8_t n) {
    Node s = State(2);
    s.values[0].data[0] = n;
    return s;
}
Bytes Changed(Bytes h, std::uint8_t n) {
    const std::uint32_t root = 4096 + ReadLe32(&h[36]) + 4, vk = At(h, At(h, root, 40), 0);
    h[vk + 8] = n;
    return h;
}
// An entry that would wreck the last page of `h`, as a stale one replayed out of turn would.
Bytes Wreck(std::uint32_t seq, const Bytes& h) {
    return Entry(seq, BinsSize(h), {{BinsSize(h) - 4096, Bytes(4096, 0xEE)}});
}

const std::vector<std::pair<std::string, std::function<Files()>>>& Cases() {
    static const std::vector<std::pair<std::string, std::function<Files()>>> cases = {
        // Clean hives, as the writer makes them.
        {"names_utf16_latin1_surrogates_class",
         [] {
             return Files{Write(Names()), {}, Expect(Names())};
         }},
        {"big_data_segments",
         [] {
             return Files{Write(Big()), {}, Expect(Big())};
         }},
        {"ri_index_over_lh_lists",
         [] {
             return Files{Write(Wide(1500)), {}, Expect(Wide(1500))};
         }},
        {"version_1_3_with_li_and_lf_lists",
         [] {
             // The lists older Windows writes: the first under the ri an li, the others lf.
             Bytes p = Write(Wide(1500));
             const std::uint32_t ri = At(p, 4096 + ReadLe32(&p[36]) + 4, 28);
             for (std::uint32_t i = 0; i < ReadLe16(&p[ri + 2]); ++i) {
                 const std::uint32_t leaf = At(p, ri, 4 + 4 * int(i));
                 p[leaf + 1] = i == 0 ? 'i' : 'f';
                 for (std::uint32_t j = 0; i == 0 && j < ReadLe16(&p[leaf + 2]); ++j)
                     WriteLe32(&p[leaf + 4 + 4 * j], ReadLe32(&p[leaf + 4 + 8 * j]));
             }
             WriteLe32(&p[24], 3);
             Checksum(p.data());
             return Files{p, {}, Expect(Wide(1500))};
         }},
        {"nesting_of_512_levels",
         [] {
             return Files{Write(Chain(512)), {}, Expect(Chain(512))};
         }},
        {"clean_hive_ignores_its_logs",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             return Files{s0, {{"SYSTEM.LOG1", NewLog(s0, 1, {Entry(1, s0, s1)})}}, Expect(State(0))};
         }},

        // Dirty hives: primary sequence 11, secondary 10; the live entries start at 10.
        {"new_log_two_entries",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1), Entry(11, s1, s2)})}},
                          Expect(State(2)),
                          {},
                          {},
                          {"SYSTEM.LOG1"}};
         }},
        {"new_log_stale_entries_before_live_ones",
         [] {
             const Bytes s = Write(State(2)), t = Changed(s, 9);
             return Files{Dirty(s, 11, 10),
                          {{"system.log1", NewLog(s, 10, {Wreck(8, s), Wreck(9, s), Entry(10, s, t)})}},
                          Expect(Changed(9)),
                          {},
                          {},
                          {"system.log1"}};
         }},
        {"log1_older_than_log2",
         [] {
             const Bytes s = Write(State(2)), t = Changed(s, 9), u = Changed(s, 7);
             return Files{Dirty(s, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s, 8, {Wreck(8, s), Entry(9, s, u)})},
                           {"SYSTEM.LOG2", NewLog(s, 10, {Entry(10, s, t)})}},
                          Expect(Changed(9)),
                          {},
                          {},
                          {"SYSTEM.LOG2"}};
         }},
        {"log2_continues_log1",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG2", NewLog(s0, 11, {Entry(11, s1, s2)})},
                           {"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1)})}},
                          Expect(State(2)),
                          {},
                          {},
                          {"SYSTEM.LOG1", "SYSTEM.LOG2"}};
         }},
        {"bad_hash_applies_nothing",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             Bytes e = Entry(10, s0, s1);
             e[e.size() - 100] ^= 1;
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {e})}},
                          Expect(State(0)),
                          {},
                          {"SYSTEM is dirty", "SYSTEM.LOG1: entry at offset 0x200: wrong hash"}};
         }},
        {"bad_hash_ends_the_log",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             Bytes e = Entry(11, s1, s2);
             e[30] ^= 1;  // hash 1 itself
             return Files{
                 Dirty(s0, 11, 10), {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1), e})}}, Expect(State(1)), {}, {},
                 {"SYSTEM.LOG1"}};
         }},
        {"sequence_gap_ends_the_log",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1), Entry(12, s1, s2)})}},
                          Expect(State(1)),
                          {},
                          {},
                          {"SYSTEM.LOG1"}};
         }},
        {"no_entry_with_the_logs_first_number",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(11, s0, s1), Entry(12, s1, s2)})}},
                          Expect(State(0)),
                          {},
                          {"SYSTEM.LOG1: no entry to replay"}};
         }},
        {"log_older_than_the_hive",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 9, {Entry(9, s0, s1)})}},
                          Expect(State(0)),
                          {},
                          {"SYSTEM.LOG1: older than the hive"}};
         }},
        {"old_format_log",
         [] {
             const Bytes s0 = Write(State(0)), s2 = Write(State(2));
             return Files{Dirty(s0, 11, 10), {{"SYSTEM.LOG", OldLog(s0, s2)}}, Expect(State(2)), {}, {},
                          {"SYSTEM.LOG"}};
         }},
        {"dirty_without_logs_warns",
         [] {
             return Files{
                 Dirty(Write(State(0)), 11, 10),
                 {},
                 Expect(State(0)),
                 {},
                 {"SYSTEM is dirty (sequence numbers 11 and 10)", "SYSTEM.LOG1, ", "SYSTEM.LOG2, ", "SYSTEM.LOG)"}};
         }},
        {"bad_checksum_restored_from_log",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             Bytes p = Dirty(s0, 10, 10);
             p[508] ^= 1;
             return Files{
                 p, {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1)})}}, Expect(State(1)), {}, {}, {"SYSTEM.LOG1"}};
         }},
        {"zeroed_base_block_restored_from_log",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             Bytes p = s0;
             std::fill(p.begin(), p.begin() + 4096, 0);
             return Files{
                 p, {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1)})}}, Expect(State(1)), {}, {}, {"SYSTEM.LOG1"}};
         }},
        {"bad_checksum_base_from_the_newest_log_not_the_older_log2",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             Bytes p = Dirty(s0, 10, 10);
             p[508] ^= 1;
             return Files{
                 p,
                 {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1)})}, {"SYSTEM.LOG2", NewLog(s0, 8, {Wreck(8, s0)})}},
                 Expect(State(1)),
                 {},
                 {},
                 {"SYSTEM.LOG1"}};
         }},
        {"damaged_log2_named_though_log1_applies",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             Bytes log2 = NewLog(s0, 11, {Entry(11, s1, s2)});
             log2[508] ^= 1;
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1)})}, {"SYSTEM.LOG2", log2}},
                          Expect(State(1)),
                          {},
                          {"SYSTEM.LOG2: its base block's checksum is wrong"},
                          {"SYSTEM.LOG1"}};
         }},
        {"replay_stopped_by_an_entry_size_of_41",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
             Bytes e = Entry(11, s1, s2);
             WriteLe32(&e[4], 41);
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1), e})}},
                          Expect(State(1)),
                          {},
                          {"SYSTEM.LOG1: the replay stops early, entry at offset", ": size 0x29"},
                          {"SYSTEM.LOG1"}};
         }},
        {"replay_stopped_by_a_page_past_the_bins",
         [] {
             const Bytes s0 = Write(State(0)), s1 = Write(State(1));
             const Bytes past = Entry(11, BinsSize(s1), {{BinsSize(s1), Bytes(4096, 0xEE)}});
             return Files{Dirty(s0, 11, 10),
                          {{"SYSTEM.LOG1", NewLog(s0, 10, {Entry(10, s0, s1), past})}},
                          Expect(State(1)),
                          {},
                          {"SYSTEM.LOG1: the replay stops early", "pages outside the hive bins"},
                          {"SYSTEM.LOG1"}};
         }},

        // Names Windows does not tell apart: the first is read, the other named in a warning.
        {"subkeys_differing_only_in_case",
         [] {
             Node both{u"R", {}, {{u"Dup", {{u"v", 4, {1, 0, 0, 0}}}}, {u"DUQ", {{u"v", 4, {2, 0, 0, 0}}}}}};
             Node kept{u"R", {}, {{u"Dup", {{u"v", 4, {1, 0, 0, 0}}}}}};
             return Files{Rename(Write(both), "DUQ", "DUP"),
                          {},
                          Expect(kept),
                          {},
                          {"SYSTEM: key \\: subkeys \"Dup\" and \"DUP\" (at offset 0x",
                           "\"Dup\" was read, \"DUP\" and all below it left out"}};
         }},
        {"subkeys_out_of_order_differing_only_in_case",
         [] {
             // A, Dup, Z, DUP: the list out of order, the two names apart.
             Node both{u"R", {}, {{u"A"}, {u"Dup", {{u"v", 4, {1, 0, 0, 0}}}}, {u"DUQ"}, {u"Z"}}};
             Node kept{u"R", {}, {{u"A"}, {u"Dup", {{u"v", 4, {1, 0, 0, 0}}}}, {u"Z"}}};
             Bytes p = Rename(Write(both), "DUQ", "DUP");
             const std::uint32_t lh = At(p, 4096 + ReadLe32(&p[36]) + 4, 28);
             std::swap_ranges(&p[lh + 4 + 8 * 2], &p[lh + 4 + 8 * 3], &p[lh + 4 + 8 * 3]);
             return Files{
                 p, {}, Expect(kept), {}, {"subkeys \"Dup\" and \"DUP\"", "\"DUP\" and all below it left out"}};
         }},
        {"values_differing_only_in_case_among_many",
         [] {
             Node both{u"R", {}, {{u"Env", {{u"Path", 1, Utf16(u"a\0"s)}}}}};
             for (char16_t c = u'a'; c < u'a' + 20; ++c)
                 both.children[0].values.push_back({std::u16string(2, c), 4, {1, 0, 0, 0}});
             Node kept = both;
             both.children[0].values.push_back({u"PATI", 1, Utf16(u"b\0"s)});
             return Files{Rename(Write(both), "PATI", "PATH"),
                          {},
                          Expect(kept),
                          {},
                          {"SYSTEM: key \\Env: values \"Path\" and \"PATH\"", "\"Path\" was read, \"PATH\" left out"}};
         }},
        {"values_differing_only_in_case",
         [] {
             Node both{
                 u"R",
                 {},
                 {{u"Env", {{u"Path", 1, Utf16(u"a\0"s)}, {u"x", 4, {1, 0, 0, 0}}, {u"PATI", 1, Utf16(u"b\0"s)}}}}};
             Node kept{u"R", {}, {{u"Env", {{u"Path", 1, Utf16(u"a\0"s)}, {u"x", 4, {1, 0, 0, 0}}}}}};
             return Files{Rename(Write(both), "PATI", "PATH"),
                          {},
                          Expect(kept),
                          {},
                          {"SYSTEM: key \\Env: values \"Path\" and \"PATH\"", "\"Path\" was read, \"PATH\" left out"}};
         }},

        // Damage: refused, naming the file and where.
        {"not_a_hive",
         [] {
             return Files{Bytes{'h', 'e', 'l', 'l', 'o'}, {}, {}, {"not a registry hive", "offset 0x0"}};
         }},
        {"hive_cut_inside_its_base_block",
         [] {
             Bytes p = Write(State(0));
             p.resize(100);
             return Files{p, {}, {}, {"cut short: 0x64 bytes, less than its base block of 0x1000"}};
         }},
        {"bad_checksum_without_logs",
         [] {
             Bytes p = Write(State(0));
             p[508] ^= 1;
             return Files{p, {}, {}, {"checksum is wrong", "offset 0x1FC"}};
         }},
        {"unknown_version",
         [] {
             Bytes p = Write(State(0));
             WriteLe32(&p[24], 2);
             Checksum(p.data());
             return Files{p, {}, {}, {"version 1.2", "offset 0x0"}};
         }},
        {"bins_past_the_end",
         [] {
             Bytes p = Write(State(0));
             p.resize(p.size() - 4096);
             return Files{p, {}, {}, {"offset 0x28", "hive bins data"}};
         }},
        {"broken_bin_in_the_middle",
         [] {
             Bytes p = Write(Wide(600));
             std::vector<std::uint32_t> bins;
             for (std::uint32_t bin = 4096; bin < p.size(); bin += ReadLe32(&p[bin + 8])) bins.push_back(bin);
             const std::uint32_t middle = bins.at(bins.size() / 2);
             p[middle] = 'X';
             return Files{p, {}, {}, {"hbin", Offset(middle)}};
         }},
        {"subkey_list_loop",
         [] {
             Bytes p = Write(Wide(3));
             const std::uint32_t root = 4096 + ReadLe32(&p[36]) + 4, k = FindKey(p, "K0001");
             WriteLe32(&p[k + 20], 3);
             WriteLe32(&p[k + 28], ReadLe32(&p[root + 28]));
             return Files{p, {}, {}, {"reached a second time", Offset(At(p, k, 28) - 4)}};
         }},
        {"value_list_outside_the_bins",
         [] {
             Bytes p = Write(Names());
             const std::uint32_t k = FindKey(p, "Empty");
             WriteLe32(&p[k + 40], 0x7FFFFFF0);
             return Files{p, {}, {}, {"outside the hive bins (0x7FFFFFF0)", Offset(k - 4)}};
         }},
        {"value_size_past_its_cell",
         [] {
             Bytes p = Write(Names());
             const std::uint32_t k = FindKey(p, "Empty");
             const std::uint32_t five = 4096 + ReadLe32(&p[At(p, k, 40) + 12]) + 4;  // the fourth value
             WriteLe32(&p[five + 4], 5000);
             return Files{p, {}, {}, {"data of 5000 bytes in a cell of", Offset(five - 4)}};
         }},
        {"subkey_count_unlike_its_list",
         [] {
             Bytes p = Write(Wide(3));
             const std::uint32_t root = 4096 + ReadLe32(&p[36]) + 4;
             WriteLe32(&p[root + 20], 4);
             return Files{p, {}, {}, {"4 subkeys whose lists hold 3", Offset(root - 4)}};
         }},
        {"nesting_past_512_levels",
         [] {
             // The deepest key of 512 levels takes the list of a key elsewhere: its subkey is the 513th.
             Node root = Chain(512);
             root.children.push_back({u"x", {}, {{u"y", {}, {}}}});
             Bytes p = Write(root);
             std::uint32_t deep = 4096 + ReadLe32(&p[36]) + 4;
             while (ReadLe32(&p[deep + 20]) > 0) deep = At(p, At(p, deep, 28), 4);
             const std::uint32_t x = FindKey(p, "x"), y = FindKey(p, "y");
             WriteLe32(&p[deep + 20], 1);
             WriteLe32(&p[deep + 28], ReadLe32(&p[x + 28]));
             WriteLe32(&p[x + 20], 0);
             return Files{p, {}, {}, {"deeper than 512", Offset(y - 4)}};
         }},
    };
    return cases;
}

class HiveCases : public ::testing::TestWithParam<std::size_t> {};

std::string Joined(const std::vector<std::string>& v) {
    std::string out;
    for (const auto& s : v) out += s + "\n";
    return out;
}

TEST_P(HiveCases, ReadsAsExpected) {
    const Files f = Cases()[GetParam()].second();
    const fs::path dir = Scratch() / ("hive_case_" + std::to_string(GetParam()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "SYSTEM").string();
    Save(path, f.primary);
    for (const auto& [name, bytes] : f.logs) Save(dir / name, bytes);

    // From the files, logs found beside the hive; and from bytes, logs given.
    std::vector<hive::NamedBytes> logs;
    for (const auto& [name, bytes] : f.logs) logs.push_back({(dir / name).string(), bytes});
    std::vector<std::string> applied;
    for (const auto& a : f.applied) applied.push_back((dir / a).string());
    for (bool fromFile : {true, false}) {
        SCOPED_TRACE(fromFile ? "ReadHiveFile" : "ReadHive");
        Dump dump;
        try {
            const auto report =
                fromFile ? hive::ReadHiveFile(path, dump) : hive::ReadHive({path, f.primary}, logs, dump);
            EXPECT_TRUE(f.error.empty()) << "read what should be refused";
            EXPECT_EQ(dump.depth, 0);
            EXPECT_EQ(dump.text, f.tree);
            EXPECT_EQ(report.logsApplied, applied);
            EXPECT_EQ(report.warnings.size(), f.warning.empty() ? 0u : 1u) << Joined(report.warnings);
            for (const auto& w : f.warning)
                EXPECT_NE(Joined(report.warnings).find(w), std::string::npos) << Joined(report.warnings);
        } catch (const hive::HiveError& e) {
            const std::string what = e.what();
            EXPECT_FALSE(f.error.empty()) << what;
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            for (const auto& part : f.error) EXPECT_NE(what.find(part), std::string::npos) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Hive, HiveCases, ::testing::Range<std::size_t>(0, Cases().size()),
                         [](const auto& info) { return Cases()[info.param].first; });

// Windows finds a subkey by binary search over upper-cased names, and by the lh hash of each.
TEST(HiveWriter, SubkeyListsInWindowsOrderWithTheirHashes) {
    Node root{u"R", {}, {}};
    for (const char16_t* name :
         {u"b", u"_x", u"Z", u"\u00e9", u"A", u"\u00ff", u"\U0001F600", u"\u0430", u"\u00ca", u"\u0411"})
        root.children.push_back({name, {}, {}});
    for (int i = 0; i < 1200; ++i) root.children.push_back({u"~" + std::u16string(1, char16_t(0x4E00 + i)), {}, {}});
    const Bytes h = Write(root);
    ASSERT_EQ(ReadLe32(&h[4]), ReadLe32(&h[8]));
    ASSERT_EQ(ReadLe32(&h[508]), hive::format::BaseBlockChecksum(h.data()));
    ASSERT_EQ(ReadLe32(&h[40]) % 4096, 0u);
    const std::uint32_t r = 4096 + ReadLe32(&h[36]) + 4, ri = At(h, r, 28);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(&h[ri]), 2), "ri");
    std::vector<std::u16string> names;
    for (std::uint32_t i = 0; i < ReadLe16(&h[ri + 2]); ++i) {
        const std::uint32_t lh = 4096 + ReadLe32(&h[ri + 4 + 4 * i]) + 4;
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(&h[lh]), 2), "lh");
        for (std::uint32_t j = 0; j < ReadLe16(&h[lh + 2]); ++j) {
            const std::uint32_t nk = 4096 + ReadLe32(&h[lh + 4 + 8 * j]) + 4;
            const std::size_t len = ReadLe16(&h[nk + 72]);
            std::u16string name;
            const bool latin1 = ReadLe16(&h[nk + 2]) & 0x20;
            for (std::size_t k = 0; k < len; k += latin1 ? 1 : 2)
                name += latin1 ? char16_t(h[nk + 76 + k]) : char16_t(ReadLe16(&h[nk + 76 + k]));
            EXPECT_EQ(latin1, std::all_of(name.begin(), name.end(), [](char16_t c) { return c <= 0xFF; }));
            std::uint32_t hash = 0;
            for (char16_t c : name) hash = 37 * hash + hive::format::Upcase(c);
            EXPECT_EQ(ReadLe32(&h[lh + 8 + 8 * j]), hash);
            names.push_back(name);
        }
    }
    ASSERT_EQ(names.size(), 1210u);
    // Upper-cased: A B Z _X ~... É Ê Ÿ(U+0178) А(U+0410) Б(U+0411), then the surrogate pair (U+D83D...).
    const std::vector<std::u16string> first = {u"A", u"b", u"Z", u"_x", u"~\u4E00"};
    EXPECT_TRUE(std::equal(first.begin(), first.end(), names.begin()));
    const std::vector<std::u16string> last = {u"\u00e9", u"\u00ca", u"\u00ff", u"\u0430", u"\u0411", u"\U0001F600"};
    EXPECT_TRUE(std::equal(last.begin(), last.end(), names.end() - 6));
    for (std::size_t i = 1; i < names.size(); ++i) {
        std::u16string a = names[i - 1], b = names[i];
        for (auto& c : a) c = hive::format::Upcase(c);
        for (auto& c : b) c = hive::format::Upcase(c);
        EXPECT_LT(a, b) << i;
    }
}

TEST(HiveWriter, RefusesWhatIsNoHive) {
    const std::vector<std::pair<std::function<void(hive::Writer&)>, std::string>> cases = {
        {[](hive::Writer& w) {
             w.BeginKey(u"R");
             w.BeginKey(u"a");
             w.EndKey();
             w.BeginKey(u"A");
             w.EndKey();
             w.EndKey();
         },
         "two subkeys of R named A"},
        {[](hive::Writer& w) {
             w.BeginKey(u"R");
             w.Value(u"v", 1, {});
             w.Value(u"V", 4, {});
             w.EndKey();
         },
         "two values"},
        {[](hive::Writer& w) {
             w.BeginKey(u"R");
             w.BeginKey(u"a\\b");
             w.EndKey();
             w.EndKey();
         },
         "backslash"},
        {[](hive::Writer& w) {
             w.BeginKey(u"R");
             w.BeginKey(std::u16string(256, u'x'));
             w.EndKey();
             w.EndKey();
         },
         "255"},
        {[](hive::Writer& w) {
             for (int i = 0; i < 513; ++i) w.BeginKey(u"k");
             for (int i = 0; i < 513; ++i) w.EndKey();
         },
         "deeper than 512"},
        {[](hive::Writer& w) { w.BeginKey(u"R"); }, "left open"},
    };
    for (const auto& [calls, message] : cases) {
        hive::Writer w;
        calls(w);
        try {
            w.Finish();
            ADD_FAILURE() << "written: " << message;
        } catch (const hive::HiveError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

// What is no hive file is refused before it is read, with the reason; a pipe is read as a stream.
TEST(HiveFile, CheckedBeforeItIsRead) {
    const Bytes hive = Write(State(1));
    const struct Row {
        const char* name;
        std::function<void(const fs::path&)> make;  // makes `path`
        std::string error;                          // empty: reads as State(1)
        bool needsNonRoot = false;
    } rows[] = {
        {"folder", [](const fs::path& p) { fs::create_directory(p); }, "a folder, not a hive file"},
        {"dangling_link", [](const fs::path& p) { fs::create_symlink(p.string() + ".gone", p); },
         "a dangling link (to "},
        {"link_loop",
         [](const fs::path& p) {
             fs::create_symlink(p.string() + ".b", p);
             fs::create_symlink(p, p.string() + ".b");
         },
         "a link loop"},
        {"no_permission",
         [&](const fs::path& p) {
             Save(p, hive);
             fs::permissions(p, fs::perms::none);
         },
         "permission denied", true},
        {"over_4_GiB",
         [&](const fs::path& p) {
             Save(p, hive);
             fs::resize_file(p, (std::uint64_t(4) << 30) + 4097);  // sparse: nothing is written
         },
         "larger than any hive"},
        {"fifo",
         [&](const fs::path& p) {
             ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
             std::thread([p, hive] { Save(p, hive); }).detach();
         },
         ""},
        {"device", [](const fs::path& p) { fs::create_symlink("/dev/null", p); }, "a device (a terminal, a disk)"},
        {"sub_folder_of_a_file", [&](const fs::path& p) { Save(p.parent_path(), hive); }, "Not a directory"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.needsNonRoot && ::geteuid() == 0) continue;  // root reads whatever the mode says
        const fs::path dir = Scratch() / ("file_" + std::string(row.name));
        fs::create_directories(dir);
        fs::path path = dir / "SYSTEM";
        if (std::string(row.name) == "sub_folder_of_a_file") path = dir / "plain" / "SYSTEM";
        row.make(path);
        Dump dump;
        try {
            hive::ReadHiveFile(path.string(), dump);
            EXPECT_EQ(row.error, "") << "read";
            EXPECT_EQ(dump.text, Expect(State(1)));
        } catch (const hive::HiveError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path.string() + ": ", 0), 0u) << e.what();
            EXPECT_NE(row.error, "") << e.what();
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
    }
}

// Outside readers take a data segment's length from its cell: every one is a full cell, the last too.
TEST(HiveWriter, BigDataSegmentsInFullCells) {
    for (std::size_t size :
         {16345u, 16349u, 2u * 16344u, 2u * 16344u + 1u, 2u * 16344u + 7u, 40000u, 40004u, 3u * 16344u + 4u}) {
        SCOPED_TRACE(size);
        const Bytes h = Write(Node{u"R", {{u"big", 3, Bytes(size, 0xAB)}}});
        const std::uint32_t root = 4096 + ReadLe32(&h[36]) + 4, vk = At(h, At(h, root, 40), 0);
        ASSERT_EQ(ReadLe32(&h[vk + 4]), size);
        const std::uint32_t db = At(h, vk, 8), list = At(h, db, 4);
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(&h[db]), 2), "db");
        const std::uint32_t segments = ReadLe16(&h[db + 2]);
        ASSERT_EQ(segments, (size + 16343) / 16344);
        for (std::uint32_t i = 0; i < segments; ++i) {
            const std::uint32_t cell = 4096 + ReadLe32(&h[list + 4 * i]);
            EXPECT_EQ(-std::int32_t(ReadLe32(&h[cell])), 16352) << "segment " << i;
        }
    }
}

}  // namespace

namespace {

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[65536];
        for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The three readers Debian has, none of them ours, on a hive the writer made.
TEST(HiveWriter, OutsideReadersReadItBack) {
    if (Output("command -v reglookup hivexsh regfexport").empty())
        GTEST_SKIP() << "reglookup, hivexsh, regfexport not installed";
    Node cv{u"CurrentVersion",
            {{u"ProductName", 1, Utf16(u"Windows 10 Pro\0"s)},
             {u"CurrentMajorVersionNumber", 4, {10, 0, 0, 0}},
             {u"Big", 3, Bytes(40000, 'Z')}}};
    Node wide{u"Wide"};
    for (int i = 0; i < 1100; ++i)
        wide.children.push_back(
            {u"K" + std::u16string{char16_t('a' + i / 676), char16_t('A' + i % 26), char16_t('a' + i / 26 % 26)}});
    Node root{u"ROOT",
              {},
              {{u"Software", {}, {{u"Microsoft", {}, {{u"Windows NT", {}, {cv}}}}}},
               {u"caf\u00e9", {{u"\u00e9t\u00e9", 1, Utf16(u"x\0"s)}}},
               {u"\u65e5\u672c", {{u"\u65e5", 4, {1, 0, 0, 0}}}},
               wide}};
    const std::string path = (Scratch() / "outside.hiv").string();
    const Bytes h = Write(root);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(h.data()), h.size());

    const std::string lookup = Output("reglookup -H '" + path + "' 2>/dev/null");
    EXPECT_EQ(Count(lookup, ",KEY,"), 1108u);
    EXPECT_EQ(
        Count(lookup, "\n/Software/Microsoft/Windows NT/CurrentVersion/CurrentMajorVersionNumber,DWORD,0x0000000A,\n"),
        1u);
    EXPECT_EQ(Count(lookup, "/CurrentVersion/Big,BINARY," + std::string(40000, 'Z') + ",\n"), 1u);

    const std::string shell = Output(
        "printf 'cd \\\\Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\nlsval\\ncd \\\\\\nls\\n' | hivexsh '" +
        path + "'");
    EXPECT_NE(shell.find("\"ProductName\"=\"Windows 10 Pro\"\n\"CurrentMajorVersionNumber\"=dword:0000000a\n"),
              std::string::npos)
        << shell.substr(0, 300);
    EXPECT_NE(shell.find("\ncafé\nSoftware\nWide\n日本\n"), std::string::npos) << shell.substr(0, 300);

    const std::string exported = Output("regfexport '" + path + "' 2>&1; echo status=$?");
    EXPECT_EQ(Count(exported, "Key path: "), 1108u);
    EXPECT_EQ(Count(exported, "Data size: 40000\n"), 1u);
    EXPECT_EQ(Count(exported, "Key path: ROOT\\Wide\\KzZz"), 0u);  // not a name written
    EXPECT_EQ(Count(exported, "Key path: ROOT\\Wide\\KbJp\n"), 1u);
    EXPECT_NE(exported.find("status=0"), std::string::npos);
}

// The other way round: a hive another writer changed reads as it says it wrote it.
TEST(HiveReader, ReadsWhatHivexregeditMerged) {
    if (Output("command -v hivexregedit").empty()) GTEST_SKIP() << "hivexregedit not installed";
    const fs::path dir = Scratch() / "merged";
    fs::create_directories(dir);
    const Bytes h = Write(Wide(600));
    std::ofstream(dir / "hive", std::ios::binary).write(reinterpret_cast<const char*>(h.data()), h.size());
    std::ofstream(dir / "merge.reg")
        << "Windows Registry Editor Version 5.00\n\n[\\K0300\\Test]\n\"Str\"=\"hello\"\n"
           "\"Dw\"=dword:0000002a\n@=\"d\"\n\n[\\K0300\\Test\\Sub1]\n\"Bin\"=hex:01,02,03\n\n"
           "[\\K0300\\Test\\sub0]\n\n[\\new]\n";
    Output("hivexregedit --merge '" + (dir / "hive").string() + "' --prefix '' '" + (dir / "merge.reg").string() +
           "' 2>&1");
    Node expected = Wide(600);
    expected.children[300].children.push_back(
        {u"Test",
         {{u"Str", 1, Utf16(u"hello\0"s)}, {u"Dw", 4, {0x2a, 0, 0, 0}}, {u"", 1, Utf16(u"d\0"s)}},
         {{u"Sub1", {{u"Bin", 3, {1, 2, 3}}}}, {u"sub0"}}});
    expected.children.push_back({u"new"});
    Dump dump;
    hive::ReadHiveFile((dir / "hive").string(), dump);
    EXPECT_EQ(dump.text, Expect(expected));
}

// Read on a thread of its own, a hive gives the visitor the same calls in the same order, over
// many hand-overs, with a value larger than one of them and names of every length; a failure on
// either side ends the read with that failure, after the calls made before it.
TEST(ReadAhead, GivesTheSameCallsAndEndsOnEitherSidesFailure) {
    Node root{u"ROOT", {{u"", 1, {}}}};
    for (int i = 0; i < 3000; ++i) {
        const std::string n = std::to_string(i);
        Node key{std::u16string(static_cast<size_t>(1 + i % 7), u'k') + std::u16string(n.begin(), n.end())};
        key.values.push_back(
            {std::u16string(static_cast<size_t>(i % 5), u'v'), 4, Bytes(static_cast<size_t>(i % 9), 7)});
        if (i % 100 == 0) key.cls = u"c" + std::u16string(static_cast<size_t>(i % 3), u'x');
        root.children.push_back(std::move(key));
    }
    root.children[1500].values.push_back({u"big", 3, Bytes(300 * 1024, 0xAB)});
    const Bytes bytes = Write(root);
    const auto read = [&](hive::Visitor& v) { return hive::ReadHive({"hive", bytes}, {}, v); };
    Dump direct, ahead;
    read(direct);
    hive::ReadAhead(read, ahead);
    EXPECT_EQ(ahead.text, direct.text);

    Dump partial;
    const auto failing = [](hive::Visitor& v) -> hive::ReadReport {
        v.BeginKey(u"R", u"", 0);
        v.Value(u"v", 4, Bytes{1, 0, 0, 0});
        throw hive::HiveError("hive: bad cell at 0x1000");
    };
    EXPECT_THROW(
        try { hive::ReadAhead(failing, partial); } catch (const hive::HiveError& e) {
            EXPECT_STREQ(e.what(), "hive: bad cell at 0x1000");
            throw;
        },
        hive::HiveError);
    EXPECT_EQ(partial.text, "[R]\n  v 4:01000000\n");

    // The reader would go on for ever: the visitor's failure must stop it.
    struct Refuses : hive::Visitor {
        int calls = 0;
        void BeginKey(std::u16string_view, std::u16string_view, std::uint64_t) override {
            if (++calls == 100000) throw std::length_error("the store is full");
        }
        void Value(std::u16string_view, std::uint32_t, std::span<const std::uint8_t>) override {}
        void EndKey() override {}
    } refuses;
    const auto endless = [](hive::Visitor& v) -> hive::ReadReport {
        for (;;) v.BeginKey(u"key", u"", 0);
    };
    EXPECT_THROW(hive::ReadAhead(endless, refuses), std::length_error);
    EXPECT_EQ(refuses.calls, 100000);
}

}  // namespace
