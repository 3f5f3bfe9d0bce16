// The keys an installation read off a disk brings: what its readers and the window may open, and
// what they may not.
#include "version_keys.h"
#include "registry_paths.h"
#include "registry_read.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace paths = registry_paths;

struct Case {
    const char* what;
    std::u16string path;
    bool imported;
};

const Case kCases[] = {
    // What the window's load sequence, the version code and the version query open, read back in
    // memory from a disk's hives (versioninfo IMAGE), as they spell it.
    {"the product name's key", paths::kProductNameKey.wide, true},
    {"Windows 9x's version key", paths::kWindows9xVersionKey.wide, true},
    {"the control set's Windows key", paths::kWindowsControlKey.wide, true},
    {"the product options", paths::kProductOptionsKey.wide, true},
    // Names compare without regard to case; a key that "*" stands for, or whose subkeys it names.
    {"another case", u"software\\MICROSOFT\\windows nt\\currentversion", true},
    {"a profile", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-18", true},
    {"the profile list, for its names", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", true},
    {"an interface", u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\{1}", true},
    // Nothing else: below a profile, a sibling, a parent, the other hive, a bare prefix.
    {"below a profile", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-18\\x", false},
    {"below a key without *", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", false},
    {"a parent", u"SOFTWARE\\Microsoft\\Windows NT", false},
    {"the other hive", u"SYSTEM\\Microsoft\\Windows NT\\CurrentVersion", false},
    {"a longer name", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersionX", false},
    {"an empty subkey name", u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\", false},
    {"no hive", u"Microsoft\\Windows NT\\CurrentVersion", false},
};

TEST(VersionKeys, AReadFindsOnlyWhatTheImportBrings) {
    for (const Case& c : kCases) EXPECT_EQ(installations::Imported(c.path), c.imported) << c.what;
}

#ifndef NDEBUG
TEST(VersionKeysDeathTest, AReaderOfAKeyNotImportedIsStopped) {
    EXPECT_DEATH(installations::OpenKey(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts"), "does not import");
}
#endif

}  // namespace
