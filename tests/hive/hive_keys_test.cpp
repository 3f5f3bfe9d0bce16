// A few keys of a hive read on demand (ReadHiveKeys) against the whole reader's walk of the same
// hive, kept to the same keys; and what it costs in bytes read.
#include "byte_order.h"
#include "hive.h"
#include "hive_kit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using hivekit::Bytes;

using Path = std::vector<std::u16string>;

// The whole reader's walk, keeping the keys on the paths and the values of the keys at their ends.
std::string Expected(const Bytes& hive, const std::vector<Path>& paths) {
    hivekit::Collect kept;
    hivekit::KeepPaths keep(paths, kept);
    hive::ReadHive({"hive", hive}, {}, keep);
    return hivekit::Expect(kept.root);
}

struct Reading {
    std::string text;
    std::uint64_t bytesRead = 0;
    std::string error;
};

// The keys read on demand, as text with subkeys in the hive's order, as the whole reader gives them.
Reading OnDemand(const Bytes& hive, const std::vector<Path>& paths) {
    Reading r;
    hivekit::Collect dump;
    try {
        hive::ReadHiveKeys(
            "hive", hive.size(),
            [&](std::uint64_t offset, void* out, std::size_t length) {
                if (offset > hive.size() || length > hive.size() - offset) throw hive::HiveError("past the end");
                std::memcpy(out, hive.data() + offset, length);
                r.bytesRead += length;
            },
            {}, paths, dump);
    } catch (const hive::HiveError& e) {
        r.error = e.what();
    }
    if (dump.keys > 0) r.text = hivekit::Expect(dump.root);
    return r;
}

struct KeysCase {
    const char* name;
    std::vector<Path> paths;
    std::function<void(Bytes&)> damage = {};  // applied to the written hive
    const char* error = "";                   // what the refusal says, where one is due
};

void PrintTo(const KeysCase& c, std::ostream* os) {
    *os << c.name;
}

class HiveKeys : public testing::TestWithParam<KeysCase> {};

TEST_P(HiveKeys, ReadsWhatTheWholeReaderReads) {
    Bytes hive = hivekit::Write(hivekit::Software());
    if (GetParam().damage) GetParam().damage(hive);
    const Reading got = OnDemand(hive, GetParam().paths);
    if (*GetParam().error != '\0') {
        EXPECT_NE(got.error.find(GetParam().error), std::string::npos) << got.error;
        return;
    }
    ASSERT_EQ(got.error, "");
    const std::string expected = Expected(hive, GetParam().paths);
    // Compared quietly: the big value's bytes would fill the screen.
    EXPECT_TRUE(got.text == expected) << "on demand:\n"
                                      << got.text.substr(0, 600) << "\nwhole:\n"
                                      << expected.substr(0, 600);
    // The clean hive is read in pages; a dirty one is read whole.
    const bool dirty = hive::NeedsLogs(std::span(hive).first(4096));
    if (dirty) EXPECT_GE(got.bytesRead, hive.size());
    else EXPECT_LT(got.bytesRead, hive.size() / 4) << "of " << hive.size();
}

const Path kCurrentVersion{u"Microsoft", u"Windows NT", u"CurrentVersion"};

INSTANTIATE_TEST_SUITE_P(
    Hive, HiveKeys,
    testing::Values(KeysCase{"CurrentVersion", {kCurrentVersion}},
                    KeysCase{"AnyCase", {{u"MICROSOFT", u"windows nt", u"currentVERSION"}}},
                    KeysCase{"NotLatin1", {{u"Microsoft", u"Windows NT", u"КЛЮЧ"}}},
                    KeysCase{"Missing", {{u"Microsoft", u"Windows NT", u"NoSuchKey"}}},
                    KeysCase{"SharedPrefixAndRoot", {kCurrentVersion, {u"Microsoft", u"Vendor699"}, {}}},
                    KeysCase{"Dirty", {kCurrentVersion}, [](Bytes& h) { h = hivekit::Dirty(h, 5, 4); }},
                    KeysCase{"AnySubkey", {{u"Microsoft", u"Windows NT", u"*"}}},
                    KeysCase{"AnySubkeyOfTheRoot", {{u"*"}}},
                    KeysCase{"AnySubkeyBesideANamedOne", {kCurrentVersion, {u"Microsoft", u"Windows NT", u"*"}}},
                    KeysCase{"AnySubkeyOfAKeyWithoutSubkeys", {{u"Microsoft", u"Windows NT", u"CurrentVersion", u"*"}}},
                    KeysCase{"AnySubkeyDirty",
                             {{u"Microsoft", u"Windows NT", u"*"}},
                             [](Bytes& h) { h = hivekit::Dirty(h, 5, 4); }},
                    // A name changed under its lh hash: the whole reader never looks at hashes.
                    KeysCase{"StaleHash",
                             {{u"Microsoft", u"Windows NT", u"CurrentVersioX"}},
                             [](Bytes& h) {
                                 const char name[] = "CurrentVersion";
                                 auto at = std::search(h.begin(), h.end(), name, name + 14);
                                 ASSERT_NE(at, h.end());
                                 at[13] = 'X';
                             }},
                    KeysCase{"RootPointsOutside",
                             {kCurrentVersion},
                             [](Bytes& h) {
                                 WriteLe32(&h[36], 0x7FFFFFF8);
                                 hivekit::Checksum(h.data());
                             },
                             "at offset 0x24: the key node points outside the hive bins"},
                    KeysCase{"NotAHive", {kCurrentVersion}, [](Bytes& h) { h[0] = 'x'; }, "not a registry hive"}),
    [](const testing::TestParamInfo<KeysCase>& info) { return std::string(info.param.name); });

}  // namespace
