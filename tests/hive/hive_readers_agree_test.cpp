// The keys read on demand (hive::ReadHiveKeys) against the same keys of the whole reader's walk,
// over the fuzz targets' seeds, hives shaped like Windows' own, hives built by hand and hives
// damaged in each record both readers decode. Where both read, the same keys, values and warnings;
// where the fault lies on the way to the keys asked for, the same refusal; and on demand never
// refuses what the whole reader reads, as it makes fewer checks (no cell reached twice, no count of
// subkeys against their lists, nothing off its path).
#include "byte_order.h"
#include "hex.h"
#include "hive_kit.h"
#ifdef HIVE_SHAPES
#include "hive_shapes.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using hivekit::At;
using hivekit::Bytes;
using hivekit::Node;
using Path = std::vector<std::u16string>;
namespace fs = std::filesystem;

struct Input {
    Bytes primary;
    std::vector<std::pair<std::string, Bytes>> logs = {};
};

struct Outcome {
    std::string tree, error;
    std::vector<std::string> warnings;
};

std::vector<hive::NamedBytes> Logs(const Input& in) {
    std::vector<hive::NamedBytes> logs;
    for (const auto& [name, bytes] : in.logs) logs.push_back({name, bytes});
    return logs;
}

Outcome Whole(const Input& in, const std::vector<Path>& paths) {
    Outcome out;
    hivekit::Collect kept;
    hivekit::KeepPaths keep(paths, kept);
    try {
        out.warnings = hive::ReadHive({"hive", in.primary}, Logs(in), keep).warnings;
        out.tree = hivekit::Expect(kept.root);
    } catch (const hive::HiveError& e) {
        out.error = e.what();
    }
    return out;
}

Outcome OnDemand(const Input& in, const std::vector<Path>& paths) {
    Outcome out;
    hivekit::Collect got;
    const auto read = [&](std::uint64_t offset, void* to, std::size_t length) {
        if (offset > in.primary.size() || length > in.primary.size() - offset)
            throw hive::HiveError("hive: read past its end");
        std::memcpy(to, in.primary.data() + offset, length);
    };
    try {
        out.warnings = hive::ReadHiveKeys("hive", in.primary.size(), read, Logs(in), paths, got).warnings;
        out.tree = hivekit::Expect(got.root);
    } catch (const hive::HiveError& e) {
        out.error = e.what();
    }
    return out;
}

// Paths into the tree the whole reader read: the root; keys of the first two levels by name (a few
// of each key's subkeys, one in another case); every subkey of the first and the last key of the
// root; the first keys down to the eighth level; a key that is not there.
std::vector<Path> PathsInto(const Node& root) {
    std::vector<Path> paths{{}};
    const auto some = [](const std::vector<Node>& keys) {
        std::vector<const Node*> out;
        const std::size_t step = std::max<std::size_t>(1, keys.size() / 6);
        for (std::size_t i = 0; i < keys.size(); i += step) out.push_back(&keys[i]);
        if (!keys.empty() && out.back() != &keys.back()) out.push_back(&keys.back());
        return out;
    };
    for (const Node* key : some(root.children)) {
        paths.push_back({key->name});
        for (const Node* sub : some(key->children)) paths.push_back({key->name, sub->name});
    }
    if (!root.children.empty()) {
        std::u16string upper = root.children.back().name;
        for (char16_t& c : upper) c = hive::format::Upcase(c);
        paths.push_back({upper, u"no such key"});
        paths.push_back({root.children.front().name, std::u16string(hive::kAnySubkey)});
        paths.push_back({root.children.back().name, std::u16string(hive::kAnySubkey)});
    }
    Path first;
    for (const Node* at = &root; !at->children.empty() && first.size() < 8; at = &at->children.front())
        first.push_back(at->children.front().name);
    paths.push_back(first);
    return paths;
}

// How the two readers must stand to each other on a hive.
enum class Agreement {
    Same,              // both read the same, or both refuse with the same words
    BothRefuse,        // each checks the cell against its own bounds, in words of its own
    OnlyWholeRefuses,  // the fault is one only the whole reader looks for
};

struct Row {
    std::string name;
    std::function<Input()> make;
    std::vector<Path> paths = {};  // none: PathsInto the tree the whole reader reads
    Agreement agreement = Agreement::Same;
    std::string error = {};                   // what the refusal says, where one is due (the whole reader's)
    std::string onDemand = {};                // ... on demand's, where it differs
    std::function<void(Bytes&)> damage = {};  // without `make`: done to hivekit::Software()
};

const Path kCurrentVersion{u"Microsoft", u"Windows NT", u"CurrentVersion"};

// The file offsets of records of hivekit::Software(): CurrentVersion, its value `i`, the big value's db.
std::uint32_t CurrentVersion(const Bytes& h) {
    return hivekit::KeyRecord(h, "CurrentVersion");
}
std::uint32_t Value(const Bytes& h, int i) {
    return At(h, At(h, CurrentVersion(h), 40), 4 * i);
}
std::uint32_t BigData(const Bytes& h) {
    return At(h, Value(h, 3), 8);
}
void PutSize(Bytes& h, std::uint32_t rec, std::int32_t size) {
    WriteLe32(&h[rec - 4], std::uint32_t(size));
}

Row Damage(std::string name, std::function<void(Bytes&)> damage, std::string error,
           Agreement agreement = Agreement::Same, std::string onDemand = {}) {
    Row row{std::move(name), {}, {kCurrentVersion}, agreement, std::move(error), std::move(onDemand)};
    row.damage = std::move(damage);
    return row;
}

std::vector<Row> DamageRows() {
    return {
        Damage(
            "root_outside_the_bins",
            [](Bytes& h) {
                WriteLe32(&h[36], 0x7FFFFFF8);
                hivekit::Checksum(h.data());
            },
            "at offset 0x24: the key node points outside the hive bins (0x7FFFFFF8)"),
        Damage(
            "key_node_without_its_signature", [](Bytes& h) { h[CurrentVersion(h)] = 'x'; }, "not a key node (\"nk\")"),
        Damage(
            "key_name_longer_than_its_cell", [](Bytes& h) { WriteLe16(&h[CurrentVersion(h) + 72], 0x7FFF); },
            "a key name longer than its cell"),
        Damage(
            "utf16_key_name_of_odd_bytes",
            [](Bytes& h) {
                const std::uint32_t cv = CurrentVersion(h);
                h[cv + 2] &= ~0x20;
                WriteLe16(&h[cv + 72], 13);
            },
            "a UTF-16 key name of an odd number of bytes"),
        Damage(
            "class_name_longer_than_its_cell", [](Bytes& h) { WriteLe16(&h[CurrentVersion(h) + 74], 0x7FFE); },
            "a class name longer than its cell"),
        Damage(
            "class_name_of_odd_bytes", [](Bytes& h) { WriteLe16(&h[CurrentVersion(h) + 74], 7); },
            "a class name of an odd number of bytes"),
        Damage(
            "value_list_too_small", [](Bytes& h) { WriteLe32(&h[CurrentVersion(h) + 36], 1000); },
            "1000 values in a list cell too small for them"),
        Damage(
            "value_outside_the_bins", [](Bytes& h) { WriteLe32(&h[At(h, CurrentVersion(h), 40)], 0x7FFFFFF0); },
            "the value points outside the hive bins (0x7FFFFFF0)"),
        Damage(
            "value_in_a_free_cell", [](Bytes& h) { PutSize(h, Value(h, 1), 64); }, "the value is a free cell"),
        Damage(
            "value_cell_past_its_bin", [](Bytes& h) { PutSize(h, Value(h, 1), -0x7FFFFFF0); },
            "the value is a cell of size 0x7FFFFFF0, past the end of its bin", Agreement::BothRefuse,
            "the value is a cell of size 0x7FFFFFF0, past the hive bins"),
        Damage(
            "value_without_its_signature", [](Bytes& h) { h[Value(h, 0) + 1] = 'x'; }, "not a value (\"vk\")"),
        Damage(
            "value_name_longer_than_its_cell", [](Bytes& h) { WriteLe16(&h[Value(h, 0) + 2], 0x7FFF); },
            "a value name longer than its cell"),
        Damage(
            "utf16_value_name_of_odd_bytes",
            [](Bytes& h) {
                h[Value(h, 0) + 16] &= ~0x01;
                WriteLe16(&h[Value(h, 0) + 2], 11);
            },
            "a UTF-16 value name of an odd number of bytes"),
        Damage(
            "inline_data_of_5_bytes", [](Bytes& h) { WriteLe32(&h[Value(h, 2) + 4], 0x80000005); },
            "data of 5 bytes said to sit in the value itself"),
        Damage(
            "data_past_its_cell", [](Bytes& h) { WriteLe32(&h[Value(h, 0) + 4], 5000); },
            "data of 5000 bytes in a cell of"),
        Damage(
            "big_data_record_too_short", [](Bytes& h) { PutSize(h, BigData(h), -8); },
            "a big-data record (\"db\") too short"),
        Damage(
            "big_data_segment_count", [](Bytes& h) { WriteLe16(&h[BigData(h) + 2], 3); },
            "3 big-data segments for 20000 bytes"),
        Damage(
            "big_data_segment_list_short", [](Bytes& h) { PutSize(h, At(h, BigData(h), 4), -8); },
            "a big-data segment list shorter than its count"),
        Damage(
            "big_data_segment_short", [](Bytes& h) { PutSize(h, At(h, At(h, BigData(h), 4), 0), -16); },
            "a big-data segment shorter than its data"),
        Damage(
            "big_data_segment_twice",
            [](Bytes& h) {
                const std::uint32_t list = At(h, BigData(h), 4);
                WriteLe32(&h[list + 4], ReadLe32(&h[list]));
            },
            "the big-data segment is reached a second time", Agreement::OnlyWholeRefuses),
        Damage(
            "subkey_list_without_its_signature",
            [](Bytes& h) { h[At(h, hivekit::KeyRecord(h, "Windows NT"), 28)] = 'x'; },
            "not a subkey list (\"li\", \"lf\", \"lh\" or \"ri\")"),
        Damage(
            "subkey_list_shorter_than_its_count",
            [](Bytes& h) { WriteLe16(&h[At(h, hivekit::KeyRecord(h, "Windows NT"), 28) + 2], 900); },
            "a subkey list shorter than its count"),
        Damage(
            "index_inside_an_index",
            [](Bytes& h) {
                const std::uint32_t leaf = At(h, At(h, hivekit::KeyRecord(h, "Microsoft"), 28), 4);
                h[leaf] = 'r', h[leaf + 1] = 'i';
            },
            "an index (\"ri\") inside an index"),
        Damage(
            "subkey_count_unlike_its_lists",
            [](Bytes& h) { WriteLe32(&h[hivekit::KeyRecord(h, "Windows NT") + 20], 3); },
            "a key node with 3 subkeys whose lists hold 2", Agreement::OnlyWholeRefuses),
        Damage(
            "value_off_the_path", [](Bytes& h) { h[At(h, At(h, hivekit::KeyRecord(h, "Vendor7"), 40), 0)] = 'x'; },
            "not a value (\"vk\")", Agreement::OnlyWholeRefuses),
        Damage(
            "bins_past_the_end_of_the_file", [](Bytes& h) { h.resize(h.size() - 4096); }, "hive bins data"),
    };
}

// Hives the two readers must read alike, with their logs where there are some.
std::vector<Row> HiveRows() {
    std::vector<Row> rows = {
        {"software", [] { return Input{hivekit::Write(hivekit::Software())}; }},
        {"software_current_version", [] { return Input{hivekit::Write(hivekit::Software())}; }, {kCurrentVersion}},
        {"names_utf16_latin1_surrogates_class", [] { return Input{hivekit::Write(hivekit::Names())}; }},
        {"big_data", [] { return Input{hivekit::Write(hivekit::Big())}; }},
        {"ri_index_over_lh_lists", [] { return Input{hivekit::Write(hivekit::Wide(1500))}; }},
        // Read whole through the filter: the whole reader's warnings, names alike but for case left out.
        {"dirty_without_its_logs",
         [] { return Input{hivekit::Dirty(hivekit::Write(hivekit::Software()), 5, 4)}; },
         {kCurrentVersion}},
        {"dirty_with_values_alike_but_for_case",
         [] {
             Node cv{u"CurrentVersion", {{u"Path", 1, hivekit::Utf16(u"a")}, {u"PATI", 1, hivekit::Utf16(u"b")}}};
             Bytes h = hivekit::Write(Node{u"ROOT", {}, {{u"Microsoft", {}, {{u"Windows NT", {}, {cv}}}}}});
             const auto at = std::search(h.begin() + 4096, h.end(), "PATI", "PATI" + 4);
             at[3] = 'H';
             return Input{hivekit::Dirty(h, 5, 4)};
         },
         {kCurrentVersion}},
        {"dirty_with_its_log",
         [] {
             const Bytes s0 = hivekit::Write(hivekit::State(0)), s2 = hivekit::Write(hivekit::State(2));
             return Input{hivekit::Dirty(s0, 11, 10),
                          {{"hive.LOG1", hivekit::NewLog(s0, 10, {hivekit::Entry(10, s0, s2)})}}};
         }},
    };
#ifdef HIVE_SHAPES
    for (const auto& [name, kind] : {std::pair{"system", hiveshape::Shape::System},
                                     {"software", hiveshape::Shape::Software},
                                     {"user", hiveshape::Shape::User}}) {
        const hiveshape::Shape shape = kind;
        rows.push_back({std::string("shaped_like_") + name, [shape] {
                            hive::Writer writer;
                            writer.BeginKey(u"ROOT");
                            hiveshape::Generate(shape, {.keys = 4000}, writer);
                            writer.EndKey();
                            return Input{writer.Finish()};
                        }});
    }
#endif
    // The fuzz targets' seeds: hives, logs of a dirty hive, and a hive packed with two logs.
    const fs::path corpus = FUZZ_CORPUS;
    const auto files = [&](const char* target) {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(corpus / target)) out.push_back(entry.path());
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto bytes = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    for (const char* target : {"hive_read_fuzzer", "hive_keys_fuzzer"})
        for (const auto& path : files(target))
            rows.push_back({std::string(target) + "_" + path.filename().string(), [=] { return Input{bytes(path)}; }});
    for (const auto& path : files("hive_replay_fuzzer"))
        rows.push_back(
            {"hive_replay_fuzzer_" + path.filename().string(), [=] {
                 return Input{hivekit::Dirty(hivekit::Write(hivekit::State(0)), 11, 10), {{"hive.LOG1", bytes(path)}}};
             }});
    for (const auto& path : files("hive_logs_fuzzer"))
        rows.push_back(
            {"hive_logs_fuzzer_" + path.filename().string(), [=] {
                 const Bytes packed = bytes(path);
                 const auto parts = hivekit::Unpack(packed, 3);
                 Input in{Bytes(parts[0].begin(), parts[0].end())};
                 for (std::size_t i = 1; i < parts.size(); ++i)
                     in.logs.push_back({"hive.LOG" + std::to_string(i), Bytes(parts[i].begin(), parts[i].end())});
                 return in;
             }});
    return rows;
}

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = [] {
        std::vector<Row> all = HiveRows(), damage = DamageRows();
        all.insert(all.end(), damage.begin(), damage.end());
        return all;
    }();
    return rows;
}

class HiveReaders : public testing::TestWithParam<std::size_t> {};

TEST_P(HiveReaders, OnDemandReadsWhatTheWholeReaderReads) {
    const Row& row = Rows()[GetParam()];
    Input in;
    if (row.make) {
        in = row.make();
    } else {
        in.primary = hivekit::Write(hivekit::Software());
        row.damage(in.primary);
    }
    std::vector<Path> paths = row.paths;
    if (paths.empty()) {
        hivekit::Collect tree;
        hive::ReadHive({"hive", in.primary}, Logs(in), tree);
        paths = PathsInto(tree.root);
    }
    const Outcome whole = Whole(in, paths), onDemand = OnDemand(in, paths);
    // Compared quietly: big values' bytes would fill the screen.
    const auto shown = [](const Outcome& o) { return o.error.empty() ? o.tree.substr(0, 600) : o.error; };
    switch (row.agreement) {
        case Agreement::Same:
            EXPECT_EQ(whole.error.empty(), row.error.empty()) << whole.error;
            EXPECT_NE(whole.error.find(row.error), std::string::npos) << whole.error;
            EXPECT_EQ(onDemand.error, whole.error);
            EXPECT_TRUE(onDemand.tree == whole.tree) << "on demand:\n"
                                                     << shown(onDemand) << "\nwhole:\n"
                                                     << shown(whole);
            EXPECT_EQ(onDemand.warnings, whole.warnings);
            break;
        case Agreement::BothRefuse:
            EXPECT_NE(whole.error.find(row.error), std::string::npos) << whole.error;
            EXPECT_NE(onDemand.error.find(row.onDemand), std::string::npos) << onDemand.error;
            EXPECT_NE(onDemand.error, whole.error);
            break;
        case Agreement::OnlyWholeRefuses:
            EXPECT_NE(whole.error.find(row.error), std::string::npos) << whole.error;
            EXPECT_EQ(onDemand.error, "");
            break;
    }
    // Every refusal names the file and where.
    for (const Outcome* o : {&whole, &onDemand}) {
        if (!o->error.empty()) {
            EXPECT_EQ(o->error.rfind("hive: ", 0), 0u) << o->error;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Hive, HiveReaders, testing::Range<std::size_t>(0, Rows().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             std::string name = Rows()[info.param].name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
