// A store made whole in a new file and put at its path (RunInNewStore), and a big tree replaced in
// one transaction.
#include "store_faults.h"

#include <dirent.h>

#include <set>
#include <stdexcept>

using namespace std::string_literals;
using namespace store_test;

namespace {

// The names in a folder.
std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (e->d_name != "."s && e->d_name != ".."s) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

class NewStore : public StoreFaults {
protected:
    void SetUp() override {
        StoreFaults::SetUp();
        dir_ = StoreDir() + "/new";
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        path_ = dir_ + "/store.db";
        UseRegistryStore(path_);
    }
    void TearDown() override {
        UseRegistryStore(StorePath());
        StoreFaults::TearDown();
    }
    // Writes A\v = n below HKLM\Software\Test, through a handle that stays open.
    static LONG WriteA(DWORD n, HKEY& a) {
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &a,
                                  nullptr);
        return rc != ERROR_SUCCESS ? rc : SetDword(a, "v", n);
    }
    static std::optional<DWORD> ReadA(const char* name = "v") {
        HKEY a = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\A", 0, KEY_READ, &a) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD value = 0;
        const LONG rc = QueryDword(a, name, value);
        RegCloseKey(a);
        return rc == ERROR_SUCCESS ? std::optional(value) : std::nullopt;
    }
    std::string dir_, path_;
};

// How the body of a build ends.
enum class Ending { Succeeds, Fails, Throws };

struct Build {
    const char* name;
    Ending ending;
    bool storeThere;  // a store is at the path before
};

void PrintTo(const Build& c, std::ostream* os) {
    *os << c.name;
}

class NewStoreBuilds : public NewStore, public ::testing::WithParamInterface<Build> {};

TEST_P(NewStoreBuilds, PutTheStoreInPlaceWholeOrLeaveThePathAsItWas) {
    const Build& c = GetParam();
    if (c.storeThere) {
        HKEY a = nullptr;
        ASSERT_EQ(WriteA(1, a), ERROR_SUCCESS);
        RegCloseKey(a);
    }
    const std::set<std::string> before = Names(dir_);
    std::vector<std::string> told;
    HKEY a = nullptr;
    const auto body = [&]() -> LONG {
        EXPECT_EQ(WriteA(2, a), ERROR_SUCCESS);
        // While it is built, the path holds what it held.
        EXPECT_EQ(Names(dir_).count("store.db"), before.count("store.db"));
        if (c.ending == Ending::Throws) throw std::runtime_error("the hive cannot be read");
        return c.ending == Ending::Fails ? ERROR_CANTREAD : ERROR_SUCCESS;
    };
    const auto tell = [&](const std::string& path) { told.push_back(path); };
    LONG rc = ERROR_SUCCESS;
    if (c.ending == Ending::Throws) EXPECT_THROW(RunInNewStore(HKEY_LOCAL_MACHINE, body, tell), std::runtime_error);
    else rc = RunInNewStore(HKEY_LOCAL_MACHINE, body, tell);

    const bool kept = c.ending == Ending::Succeeds;
    if (c.ending != Ending::Throws) {
        EXPECT_EQ(rc, kept ? ERROR_SUCCESS : ERROR_CANTREAD) << "what the body answered";
    }
    // Built only where no store was; told the new file's path, then that it is gone.
    if (c.storeThere) {
        EXPECT_TRUE(told.empty());
    } else {
        ASSERT_EQ(told.size(), 2u);
        EXPECT_EQ(told[0].rfind(dir_ + "/.store.db.", 0), 0u) << told[0];
        EXPECT_EQ(told[1], "");
    }
    std::set<std::string> after = Names(dir_);
    after.erase("store.db-wal");  // the store's log files, made again by the reads below
    after.erase("store.db-shm");
    if (!c.storeThere && kept) EXPECT_EQ(after, std::set<std::string>{"store.db"});
    else EXPECT_EQ(Names(dir_).count("store.db"), c.storeThere ? 1u : 0u);
    EXPECT_EQ(ReadA(), kept ? std::optional<DWORD>(2) : c.storeThere ? std::optional<DWORD>(1) : std::nullopt);

    // The handle opened while it was built reaches the key in the store put in place, and none
    // where nothing was put; in a store that was there, the key as the transaction left it.
    DWORD value = 0;
    EXPECT_EQ(QueryDword(a, "v", value), kept || c.storeThere ? ERROR_SUCCESS : ERROR_KEY_DELETED);
    if (kept || c.storeThere) {
        EXPECT_EQ(value, kept ? 2u : 1u);
    }
    if (kept) {
        EXPECT_EQ(SetDword(a, "w", 3), ERROR_SUCCESS);
        EXPECT_EQ(ReadA("w"), std::optional<DWORD>(3));
    }
    RegCloseKey(a);
    if (kept && !c.storeThere) {
        // A store like any other: in WAL mode, marked, whole.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        for (const auto& [sql, expected] :
             {std::pair{"PRAGMA journal_mode", "wal"}, {"PRAGMA integrity_check", "ok"}}) {
            sqlite3_stmt* st = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK);
            ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
            EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), expected) << sql;
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
    }
}

INSTANTIATE_TEST_SUITE_P(Store, NewStoreBuilds,
                         ::testing::Values(Build{"Succeeds", Ending::Succeeds, false},
                                           Build{"Fails", Ending::Fails, false}, Build{"Throws", Ending::Throws, false},
                                           Build{"SucceedsOnAStore", Ending::Succeeds, true},
                                           Build{"FailsOnAStore", Ending::Fails, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Inside a build, calls behave as in any transaction: a nested one that fails keeps nothing, and a
// handle to a root opened before the build (or during one that writes nothing) reaches the root.
TEST_F(NewStore, ABuildIsATransactionLikeAnyOther) {
    for (const bool writes : {true, false}) {
        SCOPED_TRACE(writes ? "a build that writes" : "a build that writes nothing");
        ASSERT_EQ(unlink(path_.c_str()) == 0 || errno == ENOENT, true);
        UseRegistryStore(path_);
        HKEY before = nullptr, during = nullptr;
        int runs = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &before, nullptr),
                  ERROR_SUCCESS);
        ASSERT_NE(before, HKEY_LOCAL_MACHINE);
        EXPECT_EQ(RunInNewStore(HKEY_LOCAL_MACHINE,
                                [&]() -> LONG {
                                    ++runs;
                                    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                              nullptr, &during, nullptr),
                                              ERROR_SUCCESS);
                                    if (!writes) return ERROR_SUCCESS;
                                    EXPECT_EQ(SetDword(before, "v", 1), ERROR_SUCCESS);
                                    EXPECT_EQ(RunInStoreTransaction([] {
                                                  HKEY gone = nullptr;
                                                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Gone", 0, nullptr, 0,
                                                                  KEY_ALL_ACCESS, nullptr, &gone, nullptr);
                                                  RegCloseKey(gone);
                                                  return ERROR_CANTREAD;
                                              }),
                                              ERROR_CANTREAD);
                                    return ERROR_SUCCESS;
                                }),
                  ERROR_SUCCESS);
        EXPECT_EQ(runs, 1) << "the store was made at its path while it was built";
        EXPECT_EQ(access(path_.c_str(), F_OK) == 0, writes) << "a store made of nothing";
        DWORD value = 0;
        for (HKEY h : {before, during, HKEY_LOCAL_MACHINE})
            EXPECT_EQ(QueryDword(h, "v", value), writes ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        HKEY gone = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Gone", 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
        RegCloseKey(before);
        RegCloseKey(during);
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((path_ + suffix).c_str());
    }
}

// Another process makes the store while this one builds it: the body runs again, on that store,
// and both writes are in it.
TEST_F(NewStore, AStoreMadeMeanwhileGetsTheBodyAgain) {
    // The other process starts before the build, on a store of its own.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t maker = fork();
    if (maker == 0) {
        char byte = 0;
        close(go[1]);
        if (read(go[0], &byte, 1) != 1) _exit(100);
        HKEY b = nullptr;
        _exit(static_cast<int>(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\B", 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, &b, nullptr)));
    }
    close(go[0]);
    int runs = 0;
    const LONG rc = RunInNewStore(HKEY_LOCAL_MACHINE, [&]() -> LONG {
        ++runs;
        HKEY a = nullptr;
        const LONG written = WriteA(2, a);
        RegCloseKey(a);
        if (runs == 1) {
            EXPECT_EQ(write(go[1], "B", 1), 1);
            close(go[1]);
            int status = -1;
            waitpid(maker, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process could not write";
        }
        return written;
    });
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(ReadA(), std::optional<DWORD>(2));
    HKEY b = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test\\B", 0, KEY_READ, &b), ERROR_SUCCESS);
    RegCloseKey(b);
    std::set<std::string> names = Names(dir_);
    for (const auto& name : names) EXPECT_EQ(name.rfind("store.db", 0), 0u) << name << " left behind";
}

// A build's file whose process is gone (killed while it built) is removed by the next build; one
// whose process lives is left alone.
TEST_F(NewStore, TheNextBuildRemovesTheFilesOfBuildsWhoseProcessIsGone) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string dead = dir_ + "/.store.db." + std::to_string(gone) + ".new";
    const std::string alive = dir_ + "/.store.db." + std::to_string(getppid()) + ".new";
    const std::string other = dir_ + "/.other.db." + std::to_string(gone) + ".new";
    for (const auto& path : {dead, alive, other}) close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    EXPECT_EQ(RunInNewStore(HKEY_LOCAL_MACHINE,
                            [] {
                                HKEY a = nullptr;
                                const LONG rc = WriteA(1, a);
                                RegCloseKey(a);
                                return rc;
                            }),
              ERROR_SUCCESS);
    EXPECT_NE(access(dead.c_str(), F_OK), 0) << "the dead build's file stayed";
    EXPECT_EQ(access(alive.c_str(), F_OK), 0) << "a live build's file was removed";
    EXPECT_EQ(access(other.c_str(), F_OK), 0) << "another store's build file was removed";
}

// A key of many keys replaced in one transaction, as importing a hive again over its own key does:
// SQLite's journal of the savepoint grows past a MiB and is cut back many times meanwhile.
TEST_F(StoreFaults, AKeyOfManyKeysIsReplacedInOneTransaction) {
    const std::string path = StoreDir() + "/tree.db";
    UseRegistryStore(path);
    const auto fill = [] {
        return RunInStoreTransaction([] {
            HKEY top = nullptr;
            LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tree", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      &top, nullptr);
            if (rc == ERROR_SUCCESS) rc = RegDeleteTreeA(top, nullptr);
            const std::string data(40, 'x');
            for (int i = 0; i < 12000 && rc == ERROR_SUCCESS; ++i) {
                HKEY key = nullptr;
                const std::string name = "group " + std::to_string(i % 120) + "\\key " + std::to_string(i);
                rc = RegCreateKeyExA(top, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
                if (rc != ERROR_SUCCESS) break;
                rc = RegSetValueExA(key, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>(data.size() + 1));
                if (rc == ERROR_SUCCESS) rc = SetDword(key, "n", static_cast<DWORD>(i));
                RegCloseKey(key);
            }
            RegCloseKey(top);
            return rc;
        });
    };
    ASSERT_EQ(fill(), ERROR_SUCCESS);
    EXPECT_EQ(fill(), ERROR_SUCCESS) << "the tree could not be replaced";
    HKEY last = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tree\\group 119\\key 11999", 0, KEY_READ, &last),
              ERROR_SUCCESS);
    RegCloseKey(last);
    UseRegistryStore(StorePath());
}

}  // namespace
