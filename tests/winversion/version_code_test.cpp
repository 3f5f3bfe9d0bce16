// The version code: the product-name patterns, the version-record rules, and both together
// through the registry.
#include "RegistryTest.h"
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
    {0, 0, 0, "", 0, 0, 1},          {0, 3, 10, "", 0, 0, 1},
    {1, 4, 0, "", 0, 0, 2},          {1, 4, 0, " A ", 0, 0, 2},     {1, 4, 0, " B ", 0, 0, 3},
    {1, 4, 0, " C ", 0, 0, 4},       {1, 4, 0, "C", 0, 0, 4},       {1, 4, 0, " BC", 0, 0, 2},
    {1, 4, 10, "", 0, 0, 5},         {1, 4, 10, " B ", 0, 0, 5},    {1, 4, 10, " A ", 0, 0, 6},
    {1, 4, 90, "", 0, 0, 7},         {1, 4, 3, "", 0, 0, 0},        {1, 5, 0, "", 0, 0, 0},
    {2, 4, 0, "Service Pack 6", 1, 0, 8},
    {2, 5, 0, "", 1, 0, 9},          {2, 5, 0, "", 2, 0, 9},        {2, 5, 0, "", 3, 0, 10},
    {2, 5, 0, "", 3, 2, 10},         {2, 5, 0, "", 2, 2, 11},       {2, 5, 0, "", 1, 2, 9},
    {2, 5, 1, "Service Pack 3", 1, 0, 12},                          {2, 5, 2, "", 3, 0, 13},
    {2, 5, 3, "", 1, 0, 0},
    {2, 6, 0, "", 1, 0, 14},         {2, 6, 0, "", 3, 0, 14},
    {2, 6, 1, "", 1, 0, 15},         {2, 6, 1, "", 2, 0, 15},       {2, 6, 1, "", 3, 0, 16},
    {2, 6, 2, "", 1, 0, 17},         {2, 6, 3, "", 3, 0, 18},       {2, 6, 4, "", 1, 0, 17},
    {2, 10, 0, "", 1, 0, 19},        {2, 10, 0, "", 2, 0, 19},      {2, 10, 5, "", 3, 0, 20},
    {2, 7, 0, "", 1, 0, 0},          {2, 8, 0, "", 1, 0, 0},        {2, 9, 0, "", 1, 0, 0},
    {2, 11, 0, "", 1, 0, 0},         {3, 10, 0, "", 1, 0, 0},
};

class VersionRecords : public ::testing::TestWithParam<RecordCase> {};

TEST_P(VersionRecords, Classify) { EXPECT_EQ(VersionCodeFromRecord(Record(GetParam())), GetParam().code); }

INSTANTIATE_TEST_SUITE_P(Table, VersionRecords, ::testing::ValuesIn(kRecords));

// Both paths end to end: what an installation keeps in the registry, through GetWindowsVersion.
constexpr const char* kNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9x = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";

struct Installation {
    const char* label;
    const char* productName;  // nullptr: none kept
    const char* ntVersion;    // nullptr: a 9x installation
    const char* productType;
    const char* nineXVersion;
    const char* nineXLetter;
    int code;
};

void PrintTo(const Installation& i, std::ostream* os) { *os << i.label; }

class Installations : public RegistryTest, public ::testing::WithParamInterface<Installation> {};

TEST_P(Installations, GiveTheirCode) {
    const auto& i = GetParam();
    if (i.ntVersion != nullptr) {
        PutMachine(kNt, "CurrentVersion", REG_SZ, Sz(i.ntVersion));
        if (i.productName) PutMachine(kNt, "ProductName", REG_SZ, Sz(i.productName));
        if (i.productType) PutMachine(kOptions, "ProductType", REG_SZ, Sz(i.productType));
    }
    if (i.nineXVersion != nullptr) {
        PutMachine(k9x, "VersionNumber", REG_SZ, Sz(i.nineXVersion));
        PutMachine(k9x, "SubVersionNumber", REG_SZ, Sz(i.nineXLetter));
    }
    EXPECT_EQ(GetWindowsVersion(), i.code);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCode, Installations,
    ::testing::Values(
        Installation{"Nothing", nullptr, nullptr, nullptr, nullptr, nullptr, 1},
        Installation{"Win95", nullptr, nullptr, nullptr, "4.00.950", "", 2},
        Installation{"Win95B", nullptr, nullptr, nullptr, "4.00.1111", " B ", 3},
        Installation{"Win95C", nullptr, nullptr, nullptr, "4.00.1111", " C ", 4},
        Installation{"Win98", nullptr, nullptr, nullptr, "4.10.1998", "", 5},
        Installation{"Win98SE", nullptr, nullptr, nullptr, "4.10.2222", " A ", 6},
        Installation{"WinMe", nullptr, nullptr, nullptr, "4.90.3000", "", 7},
        Installation{"NT4", nullptr, "4.0", "WinNT", nullptr, nullptr, 8},
        Installation{"Win2000Pro", "Microsoft Windows 2000", "5.0", "WinNT", nullptr, nullptr, 9},
        Installation{"Win2000Server", "Microsoft Windows 2000", "5.0", "ServerNT", nullptr, nullptr, 10},
        Installation{"XPByName", "Microsoft Windows XP", "5.1", "WinNT", nullptr, nullptr, 12},
        Installation{"XPByRecord", nullptr, "5.1", "WinNT", nullptr, nullptr, 12},
        Installation{"Server2003", "Microsoft Windows Server 2003", "5.2", "ServerNT", nullptr, nullptr, 13},
        Installation{"Vista", "Windows Vista (TM) Business", "6.0", "WinNT", nullptr, nullptr, 14},
        Installation{"Win7", "Windows 7 Professional", "6.1", "WinNT", nullptr, nullptr, 15},
        Installation{"Server2008R2", "Windows Server 2008 R2 Standard", "6.1", "ServerNT", nullptr, nullptr, 16},
        Installation{"Win81", "Windows 8.1 Pro", "6.3", "WinNT", nullptr, nullptr, 17},
        Installation{"Server2012R2", "Windows Server 2012 R2 Standard", "6.3", "ServerNT", nullptr, nullptr, 18},
        // The name decides even where the record says otherwise.
        Installation{"Win10OnOldRecord", "Windows 10 Pro", "6.2", "WinNT", nullptr, nullptr, 19},
        Installation{"Server2016", "Windows Server 2016 Standard", "6.3", "ServerNT", nullptr, nullptr, 20},
        Installation{"Server2019", "Windows Server 2019 Standard", "6.3", "ServerNT", nullptr, nullptr, 21},
        Installation{"Server2022", "Windows Server 2022 Datacenter", "6.3", "ServerNT", nullptr, nullptr, 22},
        Installation{"LowerCaseName", "windows 7 home", "6.0", "WinNT", nullptr, nullptr, 15},
        Installation{"UnknownNameFallsBack", "Something Else", "6.1", "ServerNT", nullptr, nullptr, 16}));

TEST_F(RegistryTest, NameOfAnotherTypeFallsBackToTheRecord) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.1"));
    PutMachine(kNt, "ProductName", REG_EXPAND_SZ, Sz("Windows 10 Pro"));
    EXPECT_EQ(GetWindowsVersion(), 15);
}

TEST_F(RegistryTest, Windows10MajorNumberFromItsOwnValues) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.3"));
    PutMachine(kNt, "CurrentMajorVersionNumber", REG_DWORD, Dword(10));
    PutMachine(kNt, "CurrentMinorVersionNumber", REG_DWORD, Dword(0));
    EXPECT_EQ(GetWindowsVersionFromApi(), 19);
    EXPECT_EQ(GetWindowsVersion(), 19);
}

}  // namespace
