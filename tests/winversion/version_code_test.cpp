// The version code: the product-name patterns and the version-record rules.
#include "modWindowsVersion.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

struct NameCase {
    std::string upperName;
    int code;
};

class ProductNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ProductNames, DecideByTheFirstMatchingPattern) {
    EXPECT_EQ(VersionCodeFromProductName(GetParam().upperName), GetParam().code) << GetParam().upperName;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProductNames,
    ::testing::Values(NameCase{"WINDOWS SERVER 2022 DATACENTER", 22}, NameCase{"WINDOWS SERVER 2019 STANDARD", 21},
                      NameCase{"WINDOWS SERVER 2016 STANDARD", 20}, NameCase{"WINDOWS SERVER 2012 R2 STANDARD", 18},
                      NameCase{"WINDOWS SERVER 2008 R2 ENTERPRISE", 16}, NameCase{"WINDOWS SERVER 2003", 13},
                      NameCase{"WINDOWS 10 PRO", 19}, NameCase{"WINDOWS 8.1 PRO", 17},
                      NameCase{"WINDOWS 7 PROFESSIONAL", 15}, NameCase{"MICROSOFT WINDOWS XP", 12},
                      // Earlier rows win when a name holds two patterns.
                      NameCase{"SERVER 2019 / SERVER 2022", 22}, NameCase{"WINDOWS 10 ON SERVER 2016", 20},
                      NameCase{"WINDOWS 7 SERVER 2008", 16},
                      // No pattern: the record decides.
                      NameCase{"WINDOWS VISTA BUSINESS", 0}, NameCase{"", 0},
                      NameCase{"Windows 10 Pro", 0},  // the patterns are matched against upper case only
                      NameCase{"WINDOWS10", 0}));

struct RecordCase {
    int platform, major, minor;
    std::string csd;
    int productType, suite;
    int code;
};

void PrintTo(const RecordCase& c, std::ostream* os) {
    *os << "platform " << c.platform << " " << c.major << "." << c.minor << " csd '" << c.csd << "' type "
        << c.productType << " suite " << c.suite;
}

OsVersionRecord Record(const RecordCase& c) {
    OsVersionRecord r;
    r.dwOSVersionInfoSize = 156;
    r.dwPlatformId = c.platform;
    r.dwMajorVersion = c.major;
    r.dwMinorVersion = c.minor;
    r.szCSDVersion = c.csd + std::string(128 - c.csd.size(), '\0');
    r.wProductType = static_cast<std::uint8_t>(c.productType);
    r.wSuiteMask = static_cast<std::int16_t>(c.suite);
    return r;
}

const RecordCase kRecords[] = {
    {0, 0, 0, "", 0, 0, 1},
    {0, 3, 10, "", 0, 0, 1},
    {1, 4, 0, "", 0, 0, 2},
    {1, 4, 0, " A ", 0, 0, 2},
    {1, 4, 0, " B ", 0, 0, 3},
    {1, 4, 0, " C ", 0, 0, 4},
    {1, 4, 0, "C", 0, 0, 4},
    {1, 4, 0, " BC", 0, 0, 2},
    {1, 4, 10, "", 0, 0, 5},
    {1, 4, 10, " B ", 0, 0, 5},
    {1, 4, 10, " A ", 0, 0, 6},
    {1, 4, 90, "", 0, 0, 7},
    {1, 4, 3, "", 0, 0, 0},
    {1, 5, 0, "", 0, 0, 0},
    {2, 4, 0, "Service Pack 6", 1, 0, 8},
    {2, 5, 0, "", 1, 0, 9},
    {2, 5, 0, "", 2, 0, 9},
    {2, 5, 0, "", 3, 0, 10},
    {2, 5, 0, "", 3, 2, 10},
    {2, 5, 0, "", 2, 2, 11},
    {2, 5, 0, "", 1, 2, 9},
    {2, 5, 1, "Service Pack 3", 1, 0, 12},
    {2, 5, 2, "", 3, 0, 13},
    {2, 5, 3, "", 1, 0, 0},
    {2, 6, 0, "", 1, 0, 14},
    {2, 6, 0, "", 3, 0, 14},
    {2, 6, 1, "", 1, 0, 15},
    {2, 6, 1, "", 2, 0, 15},
    {2, 6, 1, "", 3, 0, 16},
    {2, 6, 2, "", 1, 0, 17},
    {2, 6, 3, "", 3, 0, 18},
    {2, 6, 4, "", 1, 0, 17},
    {2, 10, 0, "", 1, 0, 19},
    {2, 10, 0, "", 2, 0, 19},
    {2, 10, 5, "", 3, 0, 20},
    {2, 7, 0, "", 1, 0, 0},
    {2, 8, 0, "", 1, 0, 0},
    {2, 9, 0, "", 1, 0, 0},
    {2, 11, 0, "", 1, 0, 0},
    {3, 10, 0, "", 1, 0, 0},
};

class VersionRecords : public ::testing::TestWithParam<RecordCase> {};

TEST_P(VersionRecords, Classify) {
    EXPECT_EQ(VersionCodeFromRecord(Record(GetParam())), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Table, VersionRecords, ::testing::ValuesIn(kRecords));

}  // namespace
