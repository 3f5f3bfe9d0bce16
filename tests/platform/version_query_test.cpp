// The portable version query, filled from the values Windows keeps in the registry.
#include "registry_test.h"
#include "winapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace std::string_literals;

namespace {

constexpr const char* kNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9x = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";
constexpr const char* kWindows = "System\\CurrentControlSet\\Control\\Windows";

class VersionQuery : public RegistryTest {
protected:
    OSVERSIONINFOEXA Query(BOOL expected = TRUE) {
        OSVERSIONINFOEXA rec{};
        rec.dwOSVersionInfoSize = sizeof rec;
        EXPECT_EQ(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&rec)), expected);
        return rec;
    }
};

TEST_F(VersionQuery, Windows10FromTheVersionNumbers) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.3"));
    PutMachine(kNt, "CurrentMajorVersionNumber", REG_DWORD, Dword(10));
    PutMachine(kNt, "CurrentMinorVersionNumber", REG_DWORD, Dword(0));
    PutMachine(kNt, "CurrentBuildNumber", REG_SZ, Sz("19045"));
    PutMachine(kOptions, "ProductType", REG_SZ, Sz("WinNT"));
    const auto rec = Query();
    EXPECT_EQ(rec.dwMajorVersion, 10u);
    EXPECT_EQ(rec.dwMinorVersion, 0u);
    EXPECT_EQ(rec.dwBuildNumber, 19045u);
    EXPECT_EQ(rec.dwPlatformId, 2u);
    EXPECT_EQ(rec.wProductType, 1);
    EXPECT_STREQ(rec.szCSDVersion, "");
    EXPECT_EQ(rec.wServicePackMajor, 0);
}

TEST_F(VersionQuery, OlderNtFromTheCurrentVersionText) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("5.1"));
    PutMachine(kNt, "CSDVersion", REG_SZ, Sz("Service Pack 3"));
    const auto rec = Query();
    EXPECT_EQ(rec.dwMajorVersion, 5u);
    EXPECT_EQ(rec.dwMinorVersion, 1u);
    EXPECT_STREQ(rec.szCSDVersion, "Service Pack 3");
    EXPECT_EQ(rec.wServicePackMajor, 3) << "taken from the text when no number is kept";
}

TEST_F(VersionQuery, ServicePackNumberPrefersThePackedValue) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.1"));
    PutMachine(kNt, "CSDVersion", REG_SZ, Sz("Service Pack 1"));
    PutMachine(kWindows, "CSDVersion", REG_DWORD, Dword(0x0201));
    const auto rec = Query();
    EXPECT_EQ(rec.wServicePackMajor, 2);
    EXPECT_EQ(rec.wServicePackMinor, 1);
}

struct ProductTypeCase {
    std::string text;
    int expected;
};

class ProductTypes : public VersionQuery, public ::testing::WithParamInterface<ProductTypeCase> {};

TEST_P(ProductTypes, MapToTheRecordsNumbers) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("5.0"));
    PutMachine(kOptions, "ProductType", REG_SZ, Sz(GetParam().text));
    EXPECT_EQ(Query().wProductType, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Names, ProductTypes,
                         ::testing::Values(ProductTypeCase{"WinNT", 1}, ProductTypeCase{"LanmanNT", 2},
                                           ProductTypeCase{"ServerNT", 3}, ProductTypeCase{"servernt", 3},
                                           ProductTypeCase{"Other", 0}));

TEST_F(VersionQuery, EnterpriseSuiteFromTheProductSuiteList) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("5.0"));
    PutMachine(kOptions, "ProductSuite", REG_MULTI_SZ, "Terminal Server\0Enterprise\0\0"s);
    EXPECT_EQ(Query().wSuiteMask & VER_SUITE_ENTERPRISE, VER_SUITE_ENTERPRISE);
}

TEST_F(VersionQuery, Windows9xWhenThereIsNoNtKey) {
    PutMachine(k9x, "VersionNumber", REG_SZ, Sz("4.10.2222"));
    PutMachine(k9x, "SubVersionNumber", REG_SZ, Sz(" A "));
    const auto rec = Query();
    EXPECT_EQ(rec.dwPlatformId, 1u);
    EXPECT_EQ(rec.dwMajorVersion, 4u);
    EXPECT_EQ(rec.dwMinorVersion, 10u);
    EXPECT_EQ(rec.dwBuildNumber, 2222u);
    EXPECT_STREQ(rec.szCSDVersion, " A ");
}

TEST_F(VersionQuery, CsdTextLongerThanTheFieldIsCutAndTerminated) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.1"));
    PutMachine(kNt, "CSDVersion", REG_SZ, Sz(std::string(300, 'x')));
    const auto rec = Query();
    EXPECT_EQ(std::string(rec.szCSDVersion), std::string(127, 'x'));
}

TEST_F(VersionQuery, AnEmptyStoreFailsAndLeavesTheRecordAlone) {
    OSVERSIONINFOEXA rec{};
    rec.dwOSVersionInfoSize = sizeof rec;
    rec.dwMajorVersion = 77;
    EXPECT_EQ(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&rec)), FALSE);
    EXPECT_EQ(rec.dwMajorVersion, 77u);
}

TEST_F(VersionQuery, ASizeOtherThanTheExtendedRecordFails) {
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.1"));
    for (DWORD size : {DWORD{0}, DWORD{148}, DWORD{157}}) {
        OSVERSIONINFOEXA rec{};
        rec.dwOSVersionInfoSize = size;
        EXPECT_EQ(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&rec)), FALSE) << size;
        EXPECT_EQ(rec.dwMajorVersion, 0u);
    }
}

}  // namespace
