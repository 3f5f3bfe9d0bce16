// What list-windows reports beyond the window's values, and how a long read shows on a terminal.
#include "inventory.h"
#include "progress_line.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

TEST(ProductNameShown, Windows11IsAWorkstationOfBuild22000OrLater) {
    struct Case {
        const char* name;
        const char* type;
        const char* build;
        const char* shown;
    };
    const Case cases[] = {
        {"Windows 10 Pro", "1", "22631", "Windows 11 Pro"},
        {"Windows 10 Enterprise", "1", "22000", "Windows 11 Enterprise"},
        {"Windows 10 Pro", "1", "21999", "Windows 10 Pro"},
        {"Windows 10 Pro", "3", "22631", "Windows 10 Pro"},  // a server is named as it says
        {"Windows 10 Pro", "2", "22631", "Windows 10 Pro"},
        {"Windows 10 Pro", "1", "", "Windows 10 Pro"},
        {"Windows 10 Pro", "1", "22631a", "Windows 10 Pro"},
        {"Windows 10 Pro", "1", "99999999999", "Windows 10 Pro"},  // no number a build can be
        {"Windows 7 Professional", "1", "22631", "Windows 7 Professional"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(installations::ProductNameShown(c.name, c.type, c.build), c.shown)
            << c.name << " " << c.type << " " << c.build;
}

TEST(IsoUtc, SecondsSince1970) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1700000000, "2023-11-14T22:13:20Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {4294967295u, "2106-02-07T06:28:15Z"},  // the largest InstallDate a REG_DWORD holds
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(installations::IsoUtc(seconds), text) << seconds;
}

std::string Qword(std::uint64_t v) {
    std::string bytes(8, '\0');
    std::memcpy(bytes.data(), &v, 8);
    return bytes;
}

class Inventory : public RegistryTest {};

TEST_F(Inventory, ReadsWhatAnInventoryNeeds) {
    const std::string nt = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const std::string w9x = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    struct Case {
        const char* what;
        std::vector<std::tuple<std::string, std::string, DWORD, std::string>> values;
        installations::Inventory expected;
    };
    const std::string cs = "SYSTEM\\CurrentControlSet\\Control\\";
    const Case cases[] = {
        {"nothing there", {}, {}},
        {"Windows 11: DisplayVersion before ReleaseId, InstallTime before InstallDate",
         {{nt, "ProductName", REG_SZ, Sz("Windows 10 Pro")},
          {nt, "CurrentBuildNumber", REG_SZ, Sz("22631")},
          {nt, "UBR", REG_DWORD, Dword(3007)},
          {nt, "DisplayVersion", REG_SZ, Sz("23H2")},
          {nt, "ReleaseId", REG_SZ, Sz("2009")},
          {nt, "EditionID", REG_SZ, Sz("Professional")},
          {nt, "InstallDate", REG_DWORD, Dword(1)},
          {nt, "InstallTime", REG_QWORD, Qword(133444736000000000ull)},
          {cs + "ComputerName\\ComputerName", "ComputerName", REG_SZ, Sz("DESK-7")},
          {cs + "Session Manager\\Environment", "PROCESSOR_ARCHITECTURE", REG_SZ, Sz("AMD64")}},
         {"Windows 10 Pro", "22631", 3007, "23H2", "Professional", "2023-11-14T22:13:20Z", "DESK-7", "AMD64"}},
        {"Windows 10 1909: ReleaseId, InstallDate",
         {{nt, "ReleaseId", REG_SZ, Sz("1909")}, {nt, "InstallDate", REG_DWORD, Dword(1700000000)}},
         {{}, {}, {}, "1909", {}, "2023-11-14T22:13:20Z", {}, {}}},
        {"Windows 98: the product name beside its version, under Windows",
         {{"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProductName", REG_SZ, Sz("Microsoft Windows 98")}},
         {"Microsoft Windows 98", {}, {}, {}, {}, {}, {}, {}}},
        {"Windows NT's name goes first",
         {{"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProductName", REG_SZ, Sz("Microsoft Windows 98")},
          {nt, "ProductName", REG_SZ, Sz("Windows 7 Professional")}},
         {"Windows 7 Professional", {}, {}, {}, {}, {}, {}, {}}},
        {"Windows 98: the build, VersionNumber's last part",
         {{w9x, "VersionNumber", REG_SZ, Sz("4.10.2222")}},
         {{}, "2222", {}, {}, {}, {}, {}, {}}},
        {"values of other types are not taken for what they are not",
         {{nt, "UBR", REG_SZ, Sz("3007")},
          {nt, "EditionID", REG_DWORD, Dword(4)},
          {nt, "InstallDate", REG_SZ, Sz("1")}},
         {}},
    };
    for (const auto& c : cases) {
        for (const auto& [path, name, type, bytes] : c.values) PutMachine(path, name, type, bytes);
        const installations::Inventory got = installations::ReadInventory();
        EXPECT_EQ(got.productName, c.expected.productName) << c.what;
        EXPECT_EQ(got.currentBuildNumber, c.expected.currentBuildNumber) << c.what;
        EXPECT_EQ(got.ubr, c.expected.ubr) << c.what;
        EXPECT_EQ(got.release, c.expected.release) << c.what;
        EXPECT_EQ(got.editionId, c.expected.editionId) << c.what;
        EXPECT_EQ(got.installDate, c.expected.installDate) << c.what;
        EXPECT_EQ(got.computerName, c.expected.computerName) << c.what;
        EXPECT_EQ(got.architecture, c.expected.architecture) << c.what;
        for (const char* key : {"SOFTWARE", "SYSTEM"}) RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
    }
}

TEST(ProgressLine, ShowsOnlyAReadWriteOrListingThatTakesMoreThanASecond) {
    using namespace std::chrono_literals;
    enum class Task {
        Read,
        Writing,  // the store's writing of the file's keys: done of total keys read
        Listing,  // sources listed: done of total
    };
    struct Step {
        const char* file;
        std::uint64_t done, total;
        std::chrono::milliseconds at;
        Task task = Task::Read;
    };
    struct Case {
        const char* what;
        bool terminal;
        std::vector<Step> steps;
        std::string shown;  // what the terminal receives, the final clearing included
    };
    const std::string clear = "\r\033[K";
    const Case cases[] = {
        {"a quick read shows nothing", true, {{"F", 0, 2 << 20, 0ms}, {"F", 2 << 20, 2 << 20, 900ms}}, ""},
        {"a long read shows, then its line is cleared",
         true,
         {{"F", 0, 2 << 20, 0ms}, {"F", 1 << 20, 2 << 20, 1500ms}},
         "\rregstore: reading F: 50% of 2 MiB\033[K" + clear},
        {"redrawn at most ten times a second, and always at the end",
         true,
         {{"F", 0, 100, 0ms},
          {"F", 10, 100, 1100ms},
          {"F", 20, 100, 1150ms},
          {"F", 30, 100, 1250ms},
          {"F", 100, 100, 1260ms}},
         "\rregstore: reading F: 10% of 1 MiB\033[K\rregstore: reading F: 30% of 1 MiB\033[K"
         "\rregstore: reading F: 100% of 1 MiB\033[K" +
             clear},
        {"each file is timed on its own",
         true,
         {{"F", 0, 100, 0ms}, {"F", 50, 100, 1500ms}, {"G", 0, 100, 1600ms}, {"G", 100, 100, 2000ms}},
         "\rregstore: reading F: 50% of 1 MiB\033[K" + clear},
        {"nothing where the output is no terminal", false, {{"F", 0, 100, 0ms}, {"F", 50, 100, 5000ms}}, ""},
        {"the writing after a long read is timed on its own, and shows the keys written of those read",
         true,
         {{"F", 0, 100, 0ms},
          {"F", 100, 100, 1200ms},
          {"F", 0, 0, 1300ms, Task::Writing},
          {"F", 256, 1000, 1900ms, Task::Writing},
          {"F", 512, 3000, 2400ms, Task::Writing},
          {"F", 3100, 3100, 2500ms, Task::Writing}},
         "\rregstore: reading F: 100% of 1 MiB\033[K" + clear +
             "\rregstore: writing F into the store: 512 of 3000 keys read\033[K"
             "\rregstore: writing F into the store: 3100 of 3100 keys read\033[K" +
             clear},
        {"a listing of many sources shows how many are read, once it has taken a second",
         true,
         {{"", 1, 50, 300ms, Task::Listing},
          {"", 2, 50, 900ms, Task::Listing},
          {"", 9, 50, 1400ms, Task::Listing},
          {"", 50, 50, 3000ms, Task::Listing}},
         "\rregstore: listing: 9 of 50 sources read\033[K\rregstore: listing: 50 of 50 sources read\033[K" + clear},
    };
    for (const auto& c : cases) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        {
            output::ProgressLine line("regstore", out, c.terminal);
            const auto start = output::ProgressLine::Clock::now();
            for (const auto& s : c.steps) switch (s.task) {
                    case Task::Read:
                        line.Update(s.file, s.done, s.total, start + s.at);
                        break;
                    case Task::Writing:
                        line.Written(s.file, s.done, s.total, start + s.at);
                        break;
                    case Task::Listing:
                        line.Listed(s.done, s.total, start + s.at);
                        break;
                }
        }
        std::string got(static_cast<size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        EXPECT_EQ(std::fread(got.data(), 1, got.size(), out), got.size());
        std::fclose(out);
        EXPECT_EQ(got, c.shown) << c.what;
    }
}

}  // namespace
