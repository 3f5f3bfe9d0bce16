// The end-of-support table as shipped: whole, in an order the lookup can use, agreeing with the
// version code; and the lookup's answers for the editions and releases people run.
#include "lifecycle.h"
#include "modWindowsVersion.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const lifecycle::Table& Shipped() {
    static const lifecycle::Table table = [] {
        for (const auto& place : lifecycle::Places(TESTS_DIR))
            if (auto t = lifecycle::Load(place)) return *t;
        ADD_FAILURE() << "no lifecycle.csv in the build tree";
        return lifecycle::Table{};
    }();
    return table;
}

TEST(LifecycleTable, EveryReleaseTheVersionCodeKnows) {
    const auto& table = Shipped();
    EXPECT_TRUE(lifecycle::IsDate(table.checked));
    std::set<int> codes;
    for (const auto& row : table.rows) codes.insert(row.code);
    // 0 is no release and 1 (Win32s) never had a lifecycle of its own.
    for (int code = 2; code <= 22; ++code) EXPECT_TRUE(codes.count(code)) << "no row for version code " << code;
}

TEST(LifecycleTable, RowsAgreeWithTheVersionCodeAndEachOther) {
    const auto& rows = Shipped().rows;
    std::set<std::string> keys;
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        // A name the table matches classifies as the row's release, or not at all (Windows 11, whose
        // registry names it Windows 10; Server 2025, which only the version record classifies).
        if (!row.match.empty()) {
            const int code = VersionCodeFromProductName(row.match);
            EXPECT_TRUE(code == row.code || code == 0) << row.match << " is code " << code << ", not " << row.code;
        }
        EXPECT_TRUE(
            keys.insert(std::to_string(row.code) + "|" + row.match + "|" + row.release + "|" + row.family).second)
            << "row " << i << " twice";
        // An earlier match that a later one contains would take the later one's names ("WINDOWS 8"
        // before "WINDOWS 8.1").
        for (size_t j = 0; j < i; ++j) {
            if (!rows[j].match.empty() && rows[j].match != row.match) {
                EXPECT_EQ(row.match.find(rows[j].match), std::string::npos)
                    << row.match << " is shadowed by " << rows[j].match;
            }
        }
    }
    // Each release's rows answer its everyday editions: Home and Pro, or a server.
    for (const auto& row : rows) {
        const bool server = row.match.find("SERVER") != std::string::npos;
        const lifecycle::Release everyday{row.match, row.release, server ? "ServerStandard" : "Professional", server,
                                          row.code};
        EXPECT_TRUE(lifecycle::EndOfSupport(Shipped(), everyday, "2000-01-01"))
            << row.code << " " << row.match << " " << row.release;
    }
}

TEST(LifecycleLookup, AnswersByNameReleaseEditionAndDay) {
    struct Case {
        lifecycle::Release release;
        const char* today;
        std::optional<std::string> answer;
    };
    const Case cases[] = {
        {{"Windows 10 Pro", "22H2", "Professional", false, 19}, "2026-12-09", "out of support since 2025-10-14"},
        {{"Windows 11 Pro", "23H2", "Professional", false, 19}, "2025-11-11", "supported until 2025-11-11"},
        {{"Windows 11 Pro", "23H2", "Professional", false, 19}, "2025-11-12", "out of support since 2025-11-11"},
        {{"Windows 11 Enterprise", "24H2", "Enterprise", false, 19}, "2026-12-09", "supported until 2027-10-12"},
        {{"Windows 11 Education", "24H2", "Education", false, 19}, "2026-12-09", "supported until 2027-10-12"},
        {{"Windows 11 Pro Education", "24H2", "ProfessionalEducation", false, 19},
         "2026-12-09",
         "out of support since 2026-10-13"},
        {{"Windows 10 Enterprise LTSC 2019", "1809", "EnterpriseS", false, 19},
         "2026-12-09",
         "supported until 2029-01-09"},
        {{"Windows 10 IoT Enterprise LTSC 2021", "21H2", "IoTEnterpriseS", false, 19},
         "2026-12-09",
         "supported until 2032-01-13"},
        {{"Windows 10 Pro", "1903", "Professional", false, 19}, "2026-12-09", "out of support since 2020-12-08"},
        {{"Windows 10 Pro", "30H2", "Professional", false, 19}, "2026-12-09", std::nullopt},
        {{"Windows 10 Pro", "", "Professional", false, 19}, "2026-12-09", std::nullopt},
        {{"Windows 8.1 Pro", "", "Professional", false, 17}, "2026-12-09", "out of support since 2023-01-10"},
        {{"Windows 8 Pro", "", "Professional", false, 17}, "2026-12-09", "out of support since 2016-01-12"},
        {{"Windows Server 2022 Datacenter", "21H2", "ServerDatacenter", true, 22},
         "2026-12-09",
         "supported until 2031-10-14"},
        {{"Windows Server 2025 Standard", "24H2", "ServerStandard", true, 20},
         "2026-12-09",
         "supported until 2034-11-14"},
        {{"Windows Server 2008 R2 Enterprise", "", "ServerEnterprise", true, 16},
         "2026-12-09",
         "out of support since 2020-01-14"},
        {{"Windows Server (R) 2008 Standard", "", "ServerStandard", true, 14},
         "2026-12-09",
         "out of support since 2020-01-14"},
        {{"Microsoft Windows 98", "", "", false, 6}, "2026-12-09", "out of support since 2006-07-11"},
        // Without a name, the code decides: Windows NT 4.0's workstation and server ended apart.
        {{"", "", "", false, 8}, "2026-12-09", "out of support since 2004-06-30"},
        {{"", "", "", true, 8}, "2026-12-09", "out of support since 2004-12-31"},
        {{"", "", "", false, 1}, "2026-12-09", std::nullopt},
        {{"", "", "", false, 0}, "2026-12-09", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lifecycle::EndOfSupport(Shipped(), c.release, c.today), c.answer)
            << c.release.productName << " " << c.release.release << " " << c.release.editionId << " " << c.today;
}

TEST(LifecycleTable, ADamagedTableIsRefusedByItsLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no \"checked\" line"},
        {"checked,2026-12-09\n", "no header"},
        {"checked,2026-02-30\n", "line 1: not \"checked,YYYY-MM-DD\""},
        {"# note\nchecked,2026-12-09\ncode,match\n", "line 3: not the header"},
        {"checked,2026-12-09\ncode,match,release,family,end\n19,WINDOWS 10,22H2,*\n", "line 3: 4 fields, not 5"},
        {"checked,2026-12-09\ncode,match,release,family,end\n23,X,,*,2020-01-01\n", "line 3: no version code"},
        {"checked,2026-12-09\ncode,match,release,family,end\n19,Windows 10,,*,2020-01-01\n",
         "line 3: a match in lower"},
        {"checked,2026-12-09\ncode,match,release,family,end\n19,X,,home,2020-01-01\n", "line 3: no family \"home\""},
        {"checked,2026-12-09\ncode,match,release,family,end\n19,X,,*,2020-13-01\n", "line 3: not a date"},
    };
    for (const auto& [text, message] : cases) {
        try {
            lifecycle::Parse(text);
            ADD_FAILURE() << "taken: " << text;
        } catch (const lifecycle::TableError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(lifecycle::Parse("checked,2026-12-09\r\ncode,match,release,family,end\r\n8,,,server,2004-12-31\r\n")
                  .rows.at(0)
                  .end,
              "2004-12-31");
}

}  // namespace
