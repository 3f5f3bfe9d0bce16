// Faults the store once had with its files: files that are not stores, a store made before stores
// were marked, a store folder swapped for a link, a store file replaced under open handles.
#include "store_faults.h"

using namespace std::string_literals;
using namespace store_test;

namespace {

// Reading never writes; a file that is not a store is never written either, nor given log files,
// nor checkpointed: not even another program's WAL database whose program was killed.
struct NotAStore {
    const char* name;
    const char* sql;           // makes the file; nullptr: an empty file
    LONG write;                // what a write answers
    bool ownerKilled = false;  // the program that made it is killed with the file open
};

void PrintTo(const NotAStore& c, std::ostream* os) {
    *os << c.name;
}

class FilesThatAreNotStores : public StoreFaults, public ::testing::WithParamInterface<NotAStore> {
protected:
    // The file and any files beside it: name, size and a hash of the contents.
    static std::map<std::string, std::string> Files(const std::string& path) {
        std::map<std::string, std::string> files;
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            if (access((path + suffix).c_str(), F_OK) == 0) {
                const std::string contents = Contents(path + suffix);
                files[std::string("file") + suffix] = std::to_string(contents.size()) + " bytes, hash " +
                                                      std::to_string(std::hash<std::string>()(contents));
            }
        return files;
    }
};

TEST_P(FilesThatAreNotStores, AreReadAsEmptyAndLeftAsTheyWere) {
    const std::string path = StoreDir() + "/other.db";
    if (GetParam().sql == nullptr) {
        std::ofstream(path, std::ios::binary).flush();
    } else {
        ASSERT_EQ(InChild([&] {
                      sqlite3* db = nullptr;
                      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
                      if (sqlite3_exec(db, GetParam().sql, nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
                      if (GetParam().ownerKilled) kill(getpid(), SIGKILL);
                      sqlite3_close(db);
                      return 0;
                  }),
                  GetParam().ownerKilled ? 128 + SIGKILL : 0);
    }
    const auto before = Files(path);
    UseRegistryStore(path);
    HKEY key = nullptr;
    DWORD size = 0;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(HKEY_LOCAL_MACHINE, "V", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RecordingSurface window;
    Form1(window).Form_Load();
    EXPECT_EQ(window.caption, "1");
    EXPECT_EQ(Files(path), before) << "reading changed the file or made files beside it";
    EXPECT_EQ(Create(HKEY_LOCAL_MACHINE, "Software\\X", GetParam().write) != nullptr,
              GetParam().write == ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    UseRegistryStore(StoreDir() + "/elsewhere.db");  // lets go of it
    if (GetParam().write != ERROR_SUCCESS) {
        EXPECT_EQ(Files(path), before) << "a refused write, a flush or letting go changed the file or its log";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Store, FilesThatAreNotStores,
    ::testing::Values(
        NotAStore{"EmptyFile", nullptr, ERROR_SUCCESS},
        NotAStore{"OtherProgramsDatabase", "CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('x');", ERROR_BADDB},
        // The store's schema version, but not the store's mark.
        NotAStore{"OtherProgramsDatabaseOfVersion1",
                  "PRAGMA user_version = 1; CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('x');", ERROR_BADDB},
        NotAStore{"OtherProgramsWalDatabase",
                  "PRAGMA journal_mode = WAL; CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('x');",
                  ERROR_BADDB, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A store made before stores carried their mark is read as a store, and marked by its next write.
TEST_F(StoreFaults, AStoreMadeBeforeTheMarkIsReadWrittenAndMarked) {
    const std::string path = StoreDir() + "/unmarked.db";
    UseRegistryStore(path);
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Kept");
    ASSERT_EQ(SetDword(key, "V", 7), ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(StoreDir() + "/elsewhere.db");
    const auto mark = [&](const char* sql = "PRAGMA application_id") {
        sqlite3* db = nullptr;
        sqlite3_int64 id = -1;
        const auto first = [](void* out, int, char** values, char**) {
            *static_cast<sqlite3_int64*>(out) = std::strtoll(values[0], nullptr, 10);
            return 0;
        };
        if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) sqlite3_exec(db, sql, first, &id, nullptr);
        sqlite3_close(db);
        return id;
    };
    ASSERT_NE(mark(), 0);
    mark("PRAGMA application_id = 0");  // as stores were made before the mark

    UseRegistryStore(path);
    DWORD value = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(QueryDword(key, "V", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(mark(), 0) << "reading wrote";
    EXPECT_EQ(SetDword(key, "W", 8), ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(StoreDir() + "/elsewhere.db");
    EXPECT_NE(mark(), 0) << "the write did not mark the store";
}

// A process whose effective user is root and whose real user is not (a set-user-id program) uses the
// real user's store where that user may trust it, and opens it, its log and its index in the folder
// the trust walk checked: once the process has the store open, the user swapping her store folder
// for a link to a folder of root's never gets root's folder written. The store is in SQLite's
// rollback mode, as a store another program changed back to it may be: the first write makes the
// journal and the log files, after the swap.
struct Swap {
    const char* name;
    const char* journalMode;  // the user's store's, when the process opens it
};

void PrintTo(const Swap& c, std::ostream* os) {
    *os << c.name;
}

class SwappedStoreFolder : public StoreFaults, public ::testing::WithParamInterface<Swap> {
protected:
    void SetUp() override {
        StoreFaults::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
        std::string base = std::filesystem::canonical("/proc/self/exe").parent_path() / "swapped-XXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        base_ = base;
        ASSERT_EQ(chmod(base_.c_str(), 0755), 0);
        for (auto up = std::filesystem::path(base_); up != up.root_path(); up = up.parent_path()) {
            struct stat st {};
            ASSERT_EQ(stat(up.c_str(), &st), 0);
            if (st.st_uid != 0 || (st.st_mode & 022) != 0) GTEST_SKIP() << up << " may be written by others than root";
        }
    }
    void TearDown() override {
        std::error_code ignored;
        if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
        StoreFaults::TearDown();
    }
    std::string base_;
};

TEST_P(SwappedStoreFolder, NeverReachesTheFolderSwappedIn) {
    // Root's store, in a folder only root may enter: what the link leads to.
    Folder(base_ + "/root/versioninfo", 0700);
    Plant(base_ + "/root/versioninfo", 0);
    // The user's own store, in a folder of hers.
    const std::string own = base_ + "/own";
    Folder(own, 0700, kNobody);
    Folder(own + "/versioninfo", 0700, kNobody);
    Plant(own + "/versioninfo", kNobody);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((own + "/versioninfo/registry.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, ("PRAGMA journal_mode = "s + GetParam().journalMode).c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const auto before = Snapshot(base_ + "/root");

    int opened[2], swapped[2];
    ASSERT_EQ(pipe(opened), 0);
    ASSERT_EQ(pipe(swapped), 0);
    const pid_t child = fork();
    if (child == 0) {
        // Real user nobody, effective user root, as a set-user-id program runs.
        if (setresgid(kNobody, 0, 0) != 0 || setresuid(kNobody, 0, 0) != 0) _exit(90);
        setenv("XDG_DATA_HOME", own.c_str(), 1);
        UseUsersOwnRegistryStore(StoreDir() + "/system.db");
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Planted", 0, KEY_READ, &key) != ERROR_SUCCESS) _exit(91);
        char byte = 0;
        if (write(opened[1], "o", 1) != 1 || read(swapped[0], &byte, 1) != 1) _exit(92);
        // Written where the store was checked and opened, wherever that folder is now.
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Swapped", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
        if (rc == ERROR_SUCCESS) rc = SetDword(key, "V", 1);
        UseRegistryStore(StoreDir() + "/elsewhere.db");
        _exit(rc == ERROR_SUCCESS ? 0 : 93);
    }
    char byte = 0;
    ASSERT_EQ(read(opened[0], &byte, 1), 1) << "the process could not read its store";
    ASSERT_EQ(rename((own + "/versioninfo").c_str(), (own + "/aside").c_str()), 0);
    ASSERT_EQ(symlink((base_ + "/root/versioninfo").c_str(), (own + "/versioninfo").c_str()), 0);
    ASSERT_EQ(write(swapped[1], "s", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), 0) << "93: the write failed";
    UseRegistryStore(own + "/aside/registry.db");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Swapped", 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the write is not in the store's own folder";
    if (key != nullptr) RegCloseKey(key);
    UseRegistryStore(StoreDir() + "/elsewhere.db");
    std::string changed;
    const auto after = Snapshot(base_ + "/root");
    for (const auto& [path, entry] : after)
        if (!before.count(path) || before.at(path) != entry) changed += " " + path;
    EXPECT_EQ(changed, "") << "root's folder was written";
}

INSTANTIATE_TEST_SUITE_P(Store, SwappedStoreFolder,
                         ::testing::Values(Swap{"StoreInRollbackMode", "DELETE"},
                                           Swap{"StoreInRollbackModeKeepingItsJournal", "PERSIST"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A store file replaced under a running process: every call through a handle opened on the old file
// answers ERROR_KEY_DELETED, a new open sees the new file, and nothing of the two is mixed. The new
// file makes its keys in the same order, so that A's id names B there. A file renamed over the store
// once its writer has been quiet for docs/store.md's period (kQuietPeriod) is read as itself by every
// later open, whatever its size, and no later write takes in the old file's log: the log goes by
// the name.
enum class NewSize { Same, Larger, Smaller };
struct Replacement {
    const char* name;
    bool renamedOver;  // else deleted with its log files and made again
    bool flushed;      // RegFlushKey before, else the writer is only quiet for kQuietPeriod
    bool busy;         // the writer wrote a long run just before its quiet period
    NewSize size = NewSize::Same;
    bool oldWriterEndsFirst = false;  // it sees the new file and ends before anyone else opens it
};

void PrintTo(const Replacement& c, std::ostream* os) {
    *os << c.name;
}

constexpr auto kQuietPeriod = std::chrono::seconds(1);  // as docs/store.md asks of a writer

class ReplacedStoreFile : public StoreFaults, public ::testing::WithParamInterface<Replacement> {
protected:
    static std::string QuerySz(HKEY key, const char* name, LONG& rc) {
        char text[64] = {};
        DWORD size = sizeof text;
        rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        return text;
    }
    // Values to make a file larger than the other: 300 of 1000 bytes.
    static LONG Pad(HKEY key) {
        const std::string bytes(1000, 'p');
        for (int i = 0; i < 300; ++i)
            if (const LONG rc = RegSetValueExA(key, ("P" + std::to_string(i)).c_str(), 0, REG_BINARY,
                                               reinterpret_cast<const BYTE*>(bytes.data()), 1000);
                rc != ERROR_SUCCESS)
                return rc;
        return ERROR_SUCCESS;
    }
    static int Write(const std::string& path, const char* key, const char* name, const char* text, bool pad = false) {
        return InChild([&] {
            UseRegistryStore(path);
            HKEY made = nullptr;
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr);
            if (rc == ERROR_SUCCESS)
                rc = RegSetValueExA(made, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                    static_cast<DWORD>(std::strlen(text) + 1));
            if (rc == ERROR_SUCCESS && pad) rc = Pad(made);
            UseRegistryStore(path + ".elsewhere");  // closes the store: all of it is in the file
            return static_cast<int>(rc);
        });
    }
    // A process that opens the store afresh finds the new file's B and nothing of A: 0, or what differs.
    static int ReadsTheNewFile(const std::string& path, bool withT) {
        return InChild([&] {
            UseRegistryStore(path);
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A", 0, KEY_READ, &key) != ERROR_FILE_NOT_FOUND) return 1;
            const LONG open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_READ, &key);
            if (open != ERROR_SUCCESS) return open == ERROR_BADDB ? 2 : 3;
            LONG rc = 0;
            if (QuerySz(key, "S", rc) != "X-new") return rc == ERROR_SUCCESS ? 4 : 5;
            if (withT && QuerySz(key, "T", rc) != "t") return 6;
            sqlite3* db = nullptr;
            if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 7;
            std::string integrity;
            sqlite3_exec(
                db, "PRAGMA integrity_check",
                [](void* out, int, char** values, char**) {
                    *static_cast<std::string*>(out) += values[0] ? values[0] : "";
                    return 0;
                },
                &integrity, nullptr);
            sqlite3_close(db);
            return integrity == "ok" ? 0 : 8;
        });
    }
};

TEST_P(ReplacedStoreFile, AnswersKeyDeletedThroughOldHandlesAndOpensTheNewFile) {
    const Replacement& c = GetParam();
    const std::string path = StoreDir() + "/replaced.db";
    UseRegistryStore(path);
    HKEY a = Create(HKEY_LOCAL_MACHINE, "Software\\A");
    ASSERT_EQ(RegSetValueExA(a, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>("X-old"), 6), ERROR_SUCCESS);
    if (c.size == NewSize::Smaller) {
        ASSERT_EQ(Pad(a), ERROR_SUCCESS);
    }
    for (DWORD i = 0; c.busy && i < 3000; ++i) ASSERT_EQ(SetDword(a, ("D" + std::to_string(i % 50)).c_str(), i), 0);
    LONG rc = 0;
    ASSERT_EQ(QuerySz(a, "S", rc), "X-old");  // known to this process now
    // Copied back from the log, by RegFlushKey or by the background flush in the quiet period: a
    // file renamed over this one would otherwise take in what the log still holds.
    if (c.flushed) {
        ASSERT_EQ(RegFlushKey(a), ERROR_SUCCESS);
    } else {
        std::this_thread::sleep_for(kQuietPeriod);
    }

    const std::string made = c.renamedOver ? StoreDir() + "/fresh.db" : path;
    if (!c.renamedOver) {
        for (const char* suffix : {"", "-wal", "-shm"}) ASSERT_EQ(unlink((path + suffix).c_str()), 0) << suffix;
    }
    ASSERT_EQ(Write(made, "Software\\B", "S", "X-new", c.size == NewSize::Larger), 0);
    if (c.renamedOver) {
        ASSERT_EQ(rename(made.c_str(), path.c_str()), 0);
        if (c.oldWriterEndsFirst) {
            ExpectDeleted(a);
            RegCloseKey(a);
            UseRegistryStore(StoreDir() + "/elsewhere.db");
            EXPECT_EQ(ReadsTheNewFile(path, false), 0)
                << "a fresh reader: 1 found A, 2 a malformed store, 4 the old file's value, 8 a damaged file";
            ASSERT_EQ(Write(path, "Software\\B", "T", "t"), 0);
            EXPECT_EQ(ReadsTheNewFile(path, true), 0) << "after a write";
            return;
        }
        EXPECT_EQ(ReadsTheNewFile(path, false), 0)
            << "a fresh reader: 1 found A, 2 a malformed store, 4 the old file's value, 8 a damaged file";
        // A writer of the new file shares the old one's log files, which go by the name.
        ASSERT_EQ(Write(path, "Software\\B", "T", "t"), 0);
    }

    ExpectDeleted(a);
    EXPECT_NE(QuerySz(a, "S", rc), "X-new") << "read another key of the new file";
    {
        // A tree written in bulk below a key of the new file takes no row through a handle of the old.
        HKEY b = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_ALL_ACCESS, &b), ERROR_SUCCESS);
        const DWORD one = 1;
        LONG bulk = ERROR_SUCCESS;
        RunInStoreTransaction([&] {
            StoreTreeUnchecked unchecked(b);
            bulk = StoreTreeSetValue(a, u"V", REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
            return bulk == ERROR_SUCCESS ? unchecked.Finish() : bulk;
        });
        EXPECT_EQ(bulk, ERROR_KEY_DELETED);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(b, "V", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << "written to B";
        RegCloseKey(b);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\A", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\B", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(QuerySz(key, "S", rc), "X-new");
    EXPECT_EQ(rc, ERROR_SUCCESS);
    RegCloseKey(key);
    RegCloseKey(a);
    UseRegistryStore(StoreDir() + "/elsewhere.db");  // the old file's writer ends
    if (c.renamedOver) {
        EXPECT_EQ(ReadsTheNewFile(path, true), 0) << "once the old file's writer has ended";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Store, ReplacedStoreFile,
    ::testing::Values(Replacement{"RenamedOver", true, true, false},
                      Replacement{"DeletedAndMadeAgain", false, true, false},
                      Replacement{"LargerRenamedOverAfterTheQuietPeriod", true, false, false, NewSize::Larger},
                      Replacement{"LargerRenamedOverAfterABusyWriterWasQuiet", true, false, true, NewSize::Larger},
                      Replacement{"OldWriterEndsFirst", true, false, false, NewSize::Same, true},
                      Replacement{"LargerAndOldWriterEndsFirst", true, false, false, NewSize::Larger, true},
                      Replacement{"SmallerAndOldWriterEndsFirst", true, false, false, NewSize::Smaller, true},
                      Replacement{"BusyWriterEndsFirst", true, false, true, NewSize::Same, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
