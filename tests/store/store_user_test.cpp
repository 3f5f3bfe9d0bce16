// HKEY_CURRENT_USER kept per user, in a store used only where the real user decides.
#include "store_faults.h"

using namespace std::string_literals;
using namespace store_test;

namespace {

// HKEY_CURRENT_USER lives in the user's own store: another user can neither read nor write it, and
// a user who may write their own cannot write the machine's.
TEST_F(StoreFaults, EachUserHasTheirOwnCurrentUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    const std::string system = StoreDir() + "/system/registry.db";
    const std::string mine = StoreDir() + "/root-data/versioninfo/registry.db";
    mkdir((StoreDir() + "/system").c_str(), 0755);
    chmod(StoreDir().c_str(), 0755);
    UseRegistryStore(system, mine);
    const mode_t umaskBefore = umask(077);  // the modes below do not depend on it
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\Machine"));
    RegCloseKey(Create(HKEY_CURRENT_USER, "Software\\Mine"));
    umask(umaskBefore);
    struct stat file {
    }, folder{}, machine{};
    ASSERT_EQ(stat(mine.c_str(), &file), 0);
    ASSERT_EQ(stat((StoreDir() + "/root-data/versioninfo").c_str(), &folder), 0);
    ASSERT_EQ(stat(system.c_str(), &machine), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(machine.st_mode & 0777, 0644u);
    UseRegistryStore(system, system);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Mine", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "HKEY_CURRENT_USER went to the system store";

    const std::string own = StoreDir() + "/nobody-data";
    ASSERT_EQ(mkdir(own.c_str(), 0700), 0);
    ASSERT_EQ(chown(own.c_str(), kNobody, kNobody), 0);
    const int other = InChild([&] {
        if (!BecomeNobody()) return 90;
        setenv("XDG_DATA_HOME", own.c_str(), 1);
        if (DefaultUserRegistryStorePath() != own + "/versioninfo/registry.db") return 92;
        struct Case {
            const std::string& user;
            HKEY root;
            const char* path;
            REGSAM access;
            LONG expected;
        };
        const std::string theirs = DefaultUserRegistryStorePath();
        const Case cases[] = {
            {mine, HKEY_CURRENT_USER, "Software\\Mine", KEY_READ, ERROR_ACCESS_DENIED},
            {mine, HKEY_CURRENT_USER, "Software\\Mine", KEY_ALL_ACCESS, ERROR_ACCESS_DENIED},
            {theirs, HKEY_LOCAL_MACHINE, "Software\\Machine", KEY_READ, ERROR_SUCCESS},
            {theirs, HKEY_LOCAL_MACHINE, "Software\\Machine", KEY_SET_VALUE, ERROR_ACCESS_DENIED},
            {theirs, HKEY_CURRENT_USER, "Software\\Own", KEY_ALL_ACCESS, ERROR_SUCCESS},
        };
        int failed = 0;
        for (const Case& c : cases) {
            UseRegistryStore(system, c.user);
            HKEY key = nullptr;
            const LONG rc = RegCreateKeyExA(c.root, c.path, 0, nullptr, 0, c.access, nullptr, &key, nullptr);
            if (rc != c.expected) {
                ADD_FAILURE() << c.path << " with access " << c.access << ": " << rc << ", expected " << c.expected;
                ++failed;
            }
            if (key != nullptr) RegCloseKey(key);
        }
        return failed;
    });
    EXPECT_EQ(other, 0) << "as the second user (its failures are above)";
}

// The user's own store is used only where the real user may trust it, as ssh trusts ~/.ssh. Each
// case lays out folders under a base that only root may write (in the build tree) and runs as root
// or as nobody with XDG_DATA_HOME pointing into them. A refused store is neither read nor written,
// nothing is made or changed on disk, and the refusal names the folder and why.
struct UserStoreCase {
    const char* name;
    bool asNobody;
    // Lays the folders out under `base` (or in `home`, a folder in the test user's own home) and
    // answers XDG_DATA_HOME.
    std::string (*layout)(const std::string& base, const std::string& home);
    LONG write;       // making HKEY_CURRENT_USER\Software\T
    LONG read;        // opening HKEY_CURRENT_USER\Software\Planted, which a planted store holds
    const char* why;  // found in the refusal; nullptr: no refusal
};

void PrintTo(const UserStoreCase& c, std::ostream* os) {
    *os << c.name;
}

const UserStoreCase kUserStoreCases[] = {
    {"MissingFoldersInAnotherUsersHome", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/alice", 0755, kNobody);
         return base + "/alice/.local/share";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/alice belongs to nobody, not to root"},
    {"WorldWritableFolderWithAPlantedStore", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/tmp", 01777);
         Folder(base + "/tmp/versioninfo", 0700, kNobody);
         Plant(base + "/tmp/versioninfo", kNobody);
         return base + "/tmp";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/tmp may be written by others than its owner (mode 1777)"},
    {"StoreFolderIsASymbolicLink", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/data", 0755);
         Folder(base + "/chosen", 0700, kNobody);
         std::filesystem::create_directory_symlink("../chosen", base + "/data/versioninfo");
         return base + "/data";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/data/versioninfo is a symbolic link"},
    {"LogIsASymbolicLink", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/data/versioninfo", 0700);
         std::filesystem::create_symlink("../../elsewhere", base + "/data/versioninfo/registry.db-wal");
         return base + "/data";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/versioninfo/registry.db-wal is a symbolic link"},
    {"GroupWritableStoreFolder", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/data/versioninfo", 0770);
         return base + "/data";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/data/versioninfo may be written by others than its owner (mode 0770)"},
    {"StoreFileOfAnotherUser", false,
     [](const std::string& base, const std::string&) {
         Folder(base + "/data/versioninfo", 0700);
         Plant(base + "/data/versioninfo", kNobody);
         return base + "/data";
     },
     ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "/versioninfo/registry.db belongs to nobody"},
    {"MissingFoldersOutsideTheHome", false,
     [](const std::string& base, const std::string&) { return base + "/missing/share"; }, ERROR_ACCESS_DENIED,
     ERROR_FILE_NOT_FOUND, "/missing does not exist, and folders are made only inside the home of root"},
    {"OwnFolder", true,
     [](const std::string& base, const std::string&) {
         Folder(base + "/own", 0700, kNobody);
         return base + "/own";
     },
     ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, nullptr},
    {"SymbolicLinkOnTheWay", true,
     [](const std::string& base, const std::string&) {
         Folder(base + "/own", 0700, kNobody);
         std::filesystem::create_directory_symlink("own", base + "/link");
         return base + "/link";
     },
     ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, nullptr},
    {"MissingFoldersInOwnHome", false, [](const std::string&, const std::string& home) { return home + "/made/share"; },
     ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, nullptr},
};

class UsersOwnStore : public StoreFaults, public ::testing::WithParamInterface<UserStoreCase> {
protected:
    void SetUp() override {
        StoreFaults::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
        // Beside the test program: a folder that only root may write, on a way that only root may write.
        std::string base = std::filesystem::canonical("/proc/self/exe").parent_path() / "user-stores-XXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        base_ = base;
        ASSERT_EQ(chmod(base_.c_str(), 0755), 0);
        for (auto up = std::filesystem::path(base_); up != up.root_path(); up = up.parent_path()) {
            struct stat st {};
            ASSERT_EQ(stat(up.c_str(), &st), 0);
            if (st.st_uid != 0 || (st.st_mode & 022) != 0) GTEST_SKIP() << up << " may be written by others than root";
        }
        const passwd* pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        std::string home = std::string(pw->pw_dir) + "/.versioninfo-test-XXXXXX";
        ASSERT_NE(mkdtemp(home.data()), nullptr) << pw->pw_dir;
        home_ = home;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
        if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
        StoreFaults::TearDown();
    }
    std::string base_, home_;
};

TEST_P(UsersOwnStore, IsUsedOnlyWhereTheRealUserMayTrustIt) {
    const UserStoreCase& c = GetParam();
    const std::string data = c.layout(base_, home_);
    const auto before = Snapshot(base_), homeBefore = Snapshot(home_);
    const std::string system = base_ + "/system.db";
    const int failed = InChild([&] {
        if (c.asNobody && !BecomeNobody()) return 90;
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        UseUsersOwnRegistryStore(system);
        int failures = 0;
        const auto check = [&](bool ok, const std::string& what) {
            if (!ok) ADD_FAILURE() << what;
            failures += ok ? 0 : 1;
        };
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Planted", 0, KEY_READ, &key);
        check(rc == c.read, "reading: " + std::to_string(rc));
        rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\T", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        check(rc == c.write, "writing: " + std::to_string(rc));
        const std::string refusal = UserRegistryStoreRefusal();
        check(c.why ? refusal.find(c.why) != std::string::npos : refusal.empty(), "the refusal: \"" + refusal + "\"");
        UseRegistryStore(system);  // closes the user's store
        return failures;
    });
    EXPECT_EQ(failed, 0) << "(the failures are above)";
    auto after = Snapshot(base_);
    after.merge(Snapshot(home_));
    auto expected = before;
    expected.merge(std::map(homeBefore));
    if (c.write == ERROR_SUCCESS) {
        // What was made is the user's own, for no one else, and holds the store.
        EXPECT_TRUE(after.count(std::filesystem::canonical(data) / "versioninfo/registry.db")) << data;
        const std::string user = std::to_string(c.asNobody ? kNobody : 0) + " ";
        for (const auto& [path, entry] : after)
            if (!expected.count(path)) {
                EXPECT_EQ(entry.substr(0, user.size()), user) << path;
                EXPECT_EQ(std::stoul(entry.substr(user.size())) & 077, 0u) << path;
            }
    } else {
        EXPECT_EQ(after, expected) << "a refused store was changed, or folders made";
    }
}

INSTANTIATE_TEST_SUITE_P(Store, UsersOwnStore, ::testing::ValuesIn(kUserStoreCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
