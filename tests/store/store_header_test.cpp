// The one rule that tells a store from any other file, over header bytes as SQLite writes them and
// over the marks a connection reads.
#include "file_header.h"
#include "schema.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace {

using store::Verdict;

constexpr std::uint32_t kOurs = store::kApplicationId;
constexpr std::uint32_t kOther = 0x4D504258;

void PutBigEndian(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

struct HeaderCase {
    const char* what;
    std::uint32_t app, version, schemaCookie;
    unsigned char journal;  // file format write/read version: 1 rollback, 2 WAL
    std::int64_t size;
    bool magic;
    std::optional<Verdict> expected;
};

TEST(StoreHeader, OneRuleOverHeaderBytes) {
    const HeaderCase cases[] = {
        {"an empty file", 0, 0, 0, 1, 0, false, Verdict::Empty},
        {"shorter than a header", 0, 0, 0, 1, 50, true, std::nullopt},
        {"not a SQLite file", 0, 0, 0, 1, 4096, false, std::nullopt},
        {"a database that never had a table", 0, 0, 0, 1, 4096, true, Verdict::Empty},
        {"the same in WAL mode: its tables may be in the log", 0, 0, 0, 2, 4096, true, Verdict::Foreign},
        {"a database with tables and no version", 0, 0, 3, 1, 4096, true, Verdict::Foreign},
        {"a marked store", kOurs, 1, 2, 2, 8192, true, Verdict::Store},
        {"a marked store of a later version", kOurs, 2, 2, 2, 8192, true, Verdict::Newer},
        {"a negative version is a high one", kOurs, 0xFFFFFFFF, 2, 1, 8192, true, Verdict::Newer},
        {"the mark with no version: none of ours", kOurs, 0, 0, 1, 4096, true, Verdict::Foreign},
        {"an unmarked store (its tables still to be checked)", 0, 1, 2, 1, 8192, true, Verdict::Unmarked},
        {"an unmarked database of another version", 0, 7, 2, 1, 8192, true, Verdict::Foreign},
        {"another program's mark", kOther, 1, 2, 1, 8192, true, Verdict::Foreign},
    };
    for (const HeaderCase& c : cases) {
        unsigned char header[store::kHeaderBytes] = {};
        if (c.magic) std::memcpy(header, "SQLite format 3", 16);
        header[18] = header[19] = c.journal;
        PutBigEndian(header + 40, c.schemaCookie);
        PutBigEndian(header + 60, c.version);
        PutBigEndian(header + 68, c.app);
        EXPECT_EQ(store::JudgeHeader(header, c.size), c.expected) << c.what;
    }
}

// What a connection reads through the log meets the same rule: a store's first write makes the
// tables of an Empty file and marks an Unmarked one, and refuses the rest.
TEST(StoreHeader, OneRuleOverMarksRead) {
    const struct {
        store::Marks marks;
        Verdict expected;
    } cases[] = {
        {{0, 0, false}, Verdict::Empty},        {{0, 0, true}, Verdict::Foreign},
        {{0, 1, true}, Verdict::Unmarked},      {{kOurs, 1, true}, Verdict::Store},
        {{kOurs, 2, true}, Verdict::Newer},     {{kOurs, 0, false}, Verdict::Foreign},
        {{kOther, 0, false}, Verdict::Foreign}, {{0, 2, true}, Verdict::Foreign},
    };
    for (const auto& c : cases)
        EXPECT_EQ(store::Judge(c.marks), c.expected)
            << "app " << c.marks.app << ", version " << c.marks.version << ", tables " << c.marks.tables;
}

}  // namespace
