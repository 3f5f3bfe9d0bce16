// The version code end to end: what an installation keeps in the registry, through
// GetWindowsVersion, by the product name or else by the version record.
#include "modWindowsVersion.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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

void PrintTo(const Installation& i, std::ostream* os) {
    *os << i.label;
}

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
