// Faults the store once had, each with the scenario that showed it: handles to deleted keys, stores
// made by several processes at once, readers after a writer's crash or beside a writer's lock, reads
// of files that are not stores, deleting a root's tree and deep trees, keys nested too deep, and
// HKEY_CURRENT_USER kept per user where only that user decides.
#include "Form1.h"
#include "RecordingSurface.h"
#include "RegistryTest.h"
#include "registry_store.h"
#include "winapi.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process; its result is the child's exit status.
int InChild(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool BecomeNobody() {
    return setgid(kNobody) == 0 && setuid(kNobody) == 0;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class StoreFaults : public RegistryTest {
protected:
    HKEY Create(HKEY root, const std::string& path, LONG expected = ERROR_SUCCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), expected)
            << path;
        return key;
    }
    static LONG SetDword(HKEY key, const char* name, DWORD value) {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }
    static LONG QueryDword(HKEY key, const char* name, DWORD& value) {
        DWORD size = 4, type = 0;
        return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    }
    std::string Sub(const std::string& name) const { return KeyPath() + "\\" + name; }
};

// Every call through a handle whose key is gone answers ERROR_KEY_DELETED, and reaches no other key.
void ExpectDeleted(HKEY gone) {
    char name[64];
    DWORD cch = sizeof name, size = 4, value = 0, count = 0;
    HKEY out = nullptr;
    EXPECT_EQ(RegSetValueExA(gone, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(gone, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueA(gone, "v"), ERROR_KEY_DELETED);
    for (DWORD index : {0, 1}) {  // also after a first answer
        cch = sizeof name;
        EXPECT_EQ(RegEnumValueA(gone, index, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
        cch = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(gone, index, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    }
    EXPECT_EQ(RegQueryInfoKeyA(gone, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(gone, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExA(gone, "", 0, KEY_READ, &out), ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(gone), ERROR_KEY_DELETED);
}

enum class Removal { DeletedHere, DeletedByAnotherProcess, MadeInARolledBackTransaction };

void PrintTo(Removal r, std::ostream* os) {
    *os << static_cast<int>(r);
}

// The key made after A's removal comes from this process or from another one, which knows nothing
// of the ids this process handed out.
enum class Maker { ThisProcess, AnotherProcess };

class DeletedKeyHandles : public StoreFaults, public ::testing::WithParamInterface<std::tuple<Removal, Maker>> {
protected:
    // Makes key A, and then makes it go away; returns the handle to it.
    HKEY RemoveA(const std::string& a) {
        HKEY key = nullptr;
        switch (std::get<0>(GetParam())) {
            case Removal::DeletedHere:
                key = Create(Root(), a);
                EXPECT_EQ(RegDeleteKeyA(Root(), a.c_str()), ERROR_SUCCESS);
                break;
            case Removal::DeletedByAnotherProcess:
                key = Create(Root(), a);
                EXPECT_EQ(InChild([&] {
                              UseRegistryStore(StorePath());
                              return static_cast<int>(RegDeleteKeyA(Root(), a.c_str()));
                          }),
                          0);
                break;
            case Removal::MadeInARolledBackTransaction:
                EXPECT_EQ(RunInStoreTransaction([&] {
                              key = Create(Root(), a);
                              return ERROR_CANTWRITE;
                          }),
                          ERROR_CANTWRITE);
                break;
        }
        return key;
    }
};

std::string RemovalName(const ::testing::TestParamInfo<std::tuple<Removal, Maker>>& info) {
    const char* removal = "Unknown";
    switch (std::get<0>(info.param)) {
        case Removal::DeletedHere:
            removal = "DeletedHere";
            break;
        case Removal::DeletedByAnotherProcess:
            removal = "DeletedByAnotherProcess";
            break;
        case Removal::MadeInARolledBackTransaction:
            removal = "MadeInARolledBackTransaction";
            break;
    }
    return std::string(removal) + (std::get<1>(info.param) == Maker::ThisProcess ? "_BMadeHere" : "_BMadeElsewhere");
}

TEST_P(DeletedKeyHandles, AnswerKeyDeletedAndNeverReachANewKey) {
    // The other process starts before A is made, so it has seen none of the ids made here.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t maker = -1;
    if (std::get<1>(GetParam()) == Maker::AnotherProcess) {
        maker = fork();
        if (maker == 0) {
            char byte = 0;
            close(go[1]);
            if (read(go[0], &byte, 1) != 1) _exit(100);
            UseRegistryStore(StorePath());
            HKEY made = nullptr;
            _exit(static_cast<int>(
                RegCreateKeyExA(Root(), Sub("B").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &made, nullptr)));
        }
    }
    close(go[0]);
    HKEY a = RemoveA(Sub("A"));
    ASSERT_NE(a, nullptr);
    if (maker > 0) {
        EXPECT_EQ(write(go[1], "B", 1), 1);
        close(go[1]);
        int status = -1;
        waitpid(maker, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process could not make B";
    } else {
        close(go[1]);
    }
    HKEY b = Create(Root(), Sub("B"));
    ExpectDeleted(a);
    DWORD value = 0;
    EXPECT_EQ(QueryDword(b, "v", value), ERROR_FILE_NOT_FOUND) << "B received a write meant for A";
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExA(b, "Sub", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
    RegCloseKey(a);
    RegCloseKey(b);
}

INSTANTIATE_TEST_SUITE_P(Store, DeletedKeyHandles,
                         ::testing::Combine(::testing::Values(Removal::DeletedHere, Removal::DeletedByAnotherProcess,
                                                              Removal::MadeInARolledBackTransaction),
                                            ::testing::Values(Maker::ThisProcess, Maker::AnotherProcess)),
                         RemovalName);

// Processes that make a store at the same moment all succeed: writers wait their turn, also when a
// deleted store left its log files behind. The first connections to read the new, empty file drop
// that log, and each finds it still there before it deletes it: here every deletion finds it gone,
// as the one that loses that race does.
sqlite3_vfs* g_plainVfs = nullptr;
int DeleteAfterAnother(sqlite3_vfs* vfs, const char* path, int syncDir) {
    if (std::string_view(path).ends_with("-wal")) unlink(path);
    return g_plainVfs->xDelete(vfs, path, syncDir);
}

struct StartingPoint {
    const char* name;
    bool logLeftBehind;
};

void PrintTo(const StartingPoint& c, std::ostream* os) {
    *os << c.name;
}

class ProcessesMakingTheStore : public StoreFaults, public ::testing::WithParamInterface<StartingPoint> {};

TEST_P(ProcessesMakingTheStore, AtOnceAllSucceed) {
    constexpr int kRounds = 12, kWriters = 4;
    sqlite3_vfs racing{};
    if (GetParam().logLeftBehind) {
        g_plainVfs = sqlite3_vfs_find(nullptr);
        racing = *g_plainVfs;
        racing.zName = "deletes-after-another";
        racing.xDelete = DeleteAfterAnother;
    }
    for (int round = 0; round < kRounds; ++round) {
        const std::string path = StoreDir() + "/new" + std::to_string(round) + ".db";
        if (GetParam().logLeftBehind) {
            ASSERT_EQ(InChild([&] {
                          UseRegistryStore(path);
                          HKEY key = nullptr;
                          RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &key, nullptr);
                          kill(getpid(), SIGKILL);  // its commits stay in the log
                          return 0;
                      }),
                      128 + SIGKILL);
            ASSERT_EQ(unlink(path.c_str()), 0);
            ASSERT_EQ(sqlite3_vfs_register(&racing, 1), SQLITE_OK);
        }
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t child = fork();
            if (child == 0) {
                close(go[1]);
                char byte;
                if (read(go[0], &byte, 1) < 0) _exit(99);  // all start together
                UseRegistryStore(path);
                HKEY key = nullptr;
                const std::string name = "Software\\W" + std::to_string(w);
                LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          &key, nullptr);
                if (rc == ERROR_SUCCESS) rc = SetDword(key, "V", static_cast<DWORD>(w));
                _exit(static_cast<int>(rc % 256));
            }
            children.push_back(child);
        }
        close(go[0]);
        close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "round " << round << ": a first write failed with code " << WEXITSTATUS(status) << " (mod 256)";
        }
        if (GetParam().logLeftBehind) sqlite3_vfs_unregister(&racing);
        UseRegistryStore(path);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
        for (int w = 0; w < kWriters; ++w) {
            DWORD value = 99;
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ("Software\\W" + std::to_string(w)).c_str(), 0, KEY_READ, &key),
                      ERROR_SUCCESS);
            EXPECT_EQ(QueryDword(key, "V", value), ERROR_SUCCESS);
            EXPECT_EQ(value, static_cast<DWORD>(w));
            RegCloseKey(key);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Store, ProcessesMakingTheStore,
                         ::testing::Values(StartingPoint{"NoFiles", false},
                                           StartingPoint{"LogOfADeletedStoreLeft", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A reader who may not write sees the last committed contents whatever the writer (root) did last,
// also once the log files are gone (as the sqlite3 shell deletes them when it closes last): the
// reader may not make them again.
struct WriterEnd {
    const char* name;
    bool killed;                            // else it closed the store cleanly
    std::vector<const char*> deleted = {};  // of the log files, afterwards
};

void PrintTo(const WriterEnd& c, std::ostream* os) {
    *os << c.name;
}

class ReaderAfterWriter : public StoreFaults, public ::testing::WithParamInterface<WriterEnd> {};

TEST_P(ReaderAfterWriter, SeesTheLastCommittedContents) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    chmod(StoreDir().c_str(), 0755);
    UseRegistryStore(StoreDir() + "/elsewhere.db");  // the writer below is the store's only user
    ASSERT_EQ(InChild([&] {
                  UseRegistryStore(StorePath());
                  HKEY key = nullptr;
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
                  SetDword(key, "V", 7);
                  if (!GetParam().killed) {
                      UseRegistryStore(StoreDir() + "/elsewhere.db");  // closes the store
                      return 0;
                  }
                  RunInStoreTransaction([&] {
                      const std::string big(100000, 'x');
                      for (int i = 0; i < 30; ++i)
                          RegSetValueExA(key, ("Half" + std::to_string(i)).c_str(), 0, REG_BINARY,
                                         reinterpret_cast<const BYTE*>(big.data()), static_cast<DWORD>(big.size()));
                      kill(getpid(), SIGKILL);
                      return ERROR_SUCCESS;
                  });
                  return 1;
              }),
              GetParam().killed ? 128 + SIGKILL : 0);
    chmod(StorePath().c_str(), 0644);
    for (const char* suffix : GetParam().deleted) ASSERT_EQ(unlink((StorePath() + suffix).c_str()), 0) << suffix;
    const auto reader = [&](DWORD expected) {
        return InChild([&] {
            if (!BecomeNobody()) return 3;
            UseRegistryStore(StorePath());
            HKEY key = nullptr;
            DWORD value = 0;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, KEY_READ, &key) != ERROR_SUCCESS) return 4;
            if (QueryDword(key, "V", value) != ERROR_SUCCESS || value != expected) return 5;
            if (QueryDword(key, "Half0", value) != ERROR_FILE_NOT_FOUND) return 6;
            return 0;
        });
    };
    EXPECT_EQ(reader(7), 0) << "4: no key, 5: not the committed value, 6: an uncommitted one";
    // Nothing the reader did stops the next writer, and the reader then sees its write.
    UseRegistryStore(StorePath());
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Kept");
    EXPECT_EQ(SetDword(key, "V", 8), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(reader(8), 0);
}

INSTANTIATE_TEST_SUITE_P(Store, ReaderAfterWriter,
                         ::testing::Values(WriterEnd{"Killed", true}, WriterEnd{"ClosedCleanly", false},
                                           WriterEnd{"ClosedThenLogFilesDeleted", false, {"-wal", "-shm"}},
                                           WriterEnd{"ClosedThenIndexDeleted", false, {"-shm"}},
                                           // The committed value is in the log alone.
                                           WriterEnd{"KilledThenIndexDeleted", true, {"-shm"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A store deleted without its log: the new store made in its place does not take the old log in.
TEST_F(StoreFaults, ANewStoreIgnoresTheLogOfADeletedOne) {
    const std::string path = StoreDir() + "/replaced.db";
    ASSERT_EQ(InChild([&] {
                  UseRegistryStore(path);
                  HKEY key = nullptr;
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
                  SetDword(key, "V", 1);
                  kill(getpid(), SIGKILL);  // its commits stay in the log
                  return 0;
              }),
              128 + SIGKILL);
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(access((path + "-wal").c_str(), F_OK), 0);
    UseRegistryStore(path);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\New"));
    UseRegistryStore(path);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Old", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// While another process holds the store, a reader answers at once from one state.
struct Holder {
    const char* name;
    const char* sql;      // what the other process runs and keeps open
    LONG expected;        // what every read answers meanwhile
    const char* caption;  // what the window shows meanwhile: all the values, or none
};

void PrintTo(const Holder& c, std::ostream* os) {
    *os << c.name;
}

class ReaderBesideAHolder : public StoreFaults, public ::testing::WithParamInterface<Holder> {};

TEST_P(ReaderBesideAHolder, AnswersFromOneStateWithoutWaitingForIt) {
    PutMachine("Software\\Held", "A", REG_DWORD, Dword(1));
    PutMachine("Software\\Held", "B", REG_DWORD, Dword(2));
    const char* nt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
    PutMachine(nt, "ProductName", REG_SZ, Sz("Windows 10 Pro"));
    PutMachine(nt, "CurrentVersion", REG_SZ, Sz("6.3"));
    PutMachine(nt, "CurrentMajorVersionNumber", REG_DWORD, Dword(10));
    PutMachine(nt, "CurrentMinorVersionNumber", REG_DWORD, Dword(0));
    PutMachine(nt, "CurrentBuildNumber", REG_SZ, Sz("19045"));
    PutMachine("System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", REG_SZ, Sz("WinNT"));
    UseRegistryStore(StorePath());  // this process lets go of the file first
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        sqlite3* db = nullptr;
        sqlite3_open(StorePath().c_str(), &db);
        const int rc = sqlite3_exec(db, GetParam().sql, nullptr, nullptr, nullptr);
        char byte = rc == SQLITE_OK ? 1 : 0;
        if (write(ready[1], &byte, 1) != 1 || read(done[0], &byte, 1) < 0) _exit(2);
        _exit(0);  // dies holding it
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 1) << "the other process could not take the store";
    HKEY key = nullptr;
    const LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Held", 0, KEY_READ, &key);
    DWORD a = 0, b = 0;
    std::vector<LONG> answers{opened};
    if (opened == ERROR_SUCCESS) answers = {QueryDword(key, "A", a), QueryDword(key, "B", b)};
    RecordingSurface window;
    Form1(window).Form_Load();
    if (write(done[1], "x", 1) != 1) ADD_FAILURE();
    waitpid(holder, nullptr, 0);
    for (LONG rc : answers) EXPECT_EQ(rc, GetParam().expected);
    if (GetParam().expected == ERROR_SUCCESS) {
        EXPECT_EQ(std::make_pair(a, b), std::make_pair(DWORD{1}, DWORD{2}));
    }
    EXPECT_EQ(window.caption, GetParam().caption) << "the window shows one state of the store";
    if (key != nullptr) RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Store, ReaderBesideAHolder,
    ::testing::Values(
        // A writer in the middle of a transaction too big for its cache.
        Holder{"WritersTransaction",
               "BEGIN IMMEDIATE; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
               "INSERT INTO keys (parent, name, folded) SELECT 3, 'K' || i, 'K' || i FROM n; "
               "UPDATE \"values\" SET data = zeroblob(4000000) WHERE folded = 'A';",
               ERROR_SUCCESS, "19"},
        // Another program that keeps the file to itself.
        Holder{"ExclusiveLock", "PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM keys;",
               ERROR_BUSY, "1"}),
    [](const auto& info) { return std::string(info.param.name); });

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

// Emptying a root answers the same whether the store has its file yet or not.
TEST_F(StoreFaults, DeletingARootsTreeAnswersTheSameWithOrWithoutAFile) {
    const std::string path = StoreDir() + "/tree.db";
    for (const char* state : {"no file", "a file"}) {
        UseRegistryStore(path);
        EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, nullptr), ERROR_SUCCESS) << state;
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND) << state;
        RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\X"));
    }
}

// Keys nest at most 512 levels below their root, as in Windows (which answers
// ERROR_INVALID_PARAMETER); a call that would go deeper makes none of its keys.
struct Nesting {
    const char* name;
    int existing;  // levels below the root before the call
    int added;
    LONG expected;
};

void PrintTo(const Nesting& c, std::ostream* os) {
    *os << c.name;
}

class KeyNesting : public StoreFaults, public ::testing::WithParamInterface<Nesting> {
protected:
    // `levels` keys "a" one below the other under `from`, a hundred to a call.
    static LONG Chain(HKEY from, int levels, HKEY& end) {
        end = from;
        for (int made = 0; made < levels;) {
            const int now = std::min(100, levels - made);
            std::string path = "a";
            for (int i = 1; i < now; ++i) path += "\\a";
            HKEY next = nullptr;
            const LONG rc = RegCreateKeyExA(end, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr);
            if (end != from) RegCloseKey(end);
            if (rc != ERROR_SUCCESS) return rc;
            end = next;
            made += now;
        }
        return ERROR_SUCCESS;
    }
};

TEST_P(KeyNesting, StopsAt512Levels) {
    const int below = 3;  // the test key's own levels: Software\VersionInfoTests\TestN
    HKEY top = Create(Root(), KeyPath()), bottom = nullptr, deeper = nullptr;
    ASSERT_EQ(Chain(top, GetParam().existing - below, bottom), ERROR_SUCCESS);
    EXPECT_EQ(Chain(bottom, GetParam().added, deeper), GetParam().expected);
    HKEY first = nullptr;
    EXPECT_EQ(RegOpenKeyExA(bottom, "a", 0, KEY_READ, &first),
              GetParam().expected == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND)
        << "a refused call made keys";
    for (HKEY key : {first, deeper, bottom, top})
        if (key != nullptr) RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Store, KeyNesting,
                         ::testing::Values(Nesting{"To512", 500, 12, ERROR_SUCCESS},
                                           Nesting{"To513", 500, 13, ERROR_INVALID_PARAMETER},
                                           Nesting{"PastTheLimitInOneCall", 450, 90, ERROR_INVALID_PARAMETER},
                                           Nesting{"BelowAKeyAtTheLimit", 512, 1, ERROR_INVALID_PARAMETER}),
                         [](const auto& info) { return std::string(info.param.name); });

// A tree of any depth (an older version made them without limit) is deleted whole, however it is
// asked for, and the store goes on working.
struct DeepDeletion {
    const char* name;
    int levels;
    bool contentsOnly;  // RegDeleteTreeA(key, nullptr): the key stays
};

void PrintTo(const DeepDeletion& c, std::ostream* os) {
    *os << c.name;
}

class DeepTrees : public StoreFaults, public ::testing::WithParamInterface<DeepDeletion> {};

TEST_P(DeepTrees, AreDeletedWhole) {
    HKEY deep = Create(HKEY_LOCAL_MACHINE, "Software\\Deep");
    UseRegistryStore(StorePath());  // lets go of the file while it is changed behind the store's back
    const auto sql = [&](const std::string& statement) {
        sqlite3* db = nullptr;
        sqlite3_int64 answer = -1;
        EXPECT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(
                      db, statement.c_str(),
                      [](void* out, int, char** row, char**) {
                          *static_cast<sqlite3_int64*>(out) = std::strtoll(row[0], nullptr, 10);
                          return 0;
                      },
                      &answer, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        return answer;
    };
    sql("WITH RECURSIVE top(id) AS (SELECT max(id) FROM keys), n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < " +
        std::to_string(GetParam().levels) +
        ") "
        "INSERT INTO keys (id, parent, name, folded) SELECT top.id + i, top.id + i - 1, 'a', 'A' FROM n, top; "
        "INSERT INTO \"values\" (key, name, folded, type, data) SELECT max(id), 'v', 'V', 4, x'01000000' FROM keys;");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Deep", 0, KEY_ALL_ACCESS, &deep), ERROR_SUCCESS);
    EXPECT_EQ(
        GetParam().contentsOnly ? RegDeleteTreeA(deep, nullptr) : RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Deep"),
        ERROR_SUCCESS);
    RegCloseKey(deep);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Deep", 0, KEY_READ, &key),
              GetParam().contentsOnly ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "Software\\After"));  // the store still takes writes
    UseRegistryStore(StorePath());
    EXPECT_EQ(sql("SELECT count(*) FROM keys WHERE folded = 'A'"), 0);
    EXPECT_EQ(sql("SELECT count(*) FROM \"values\""), 0);
}

INSTANTIATE_TEST_SUITE_P(Store, DeepTrees,
                         ::testing::Values(DeepDeletion{"Tree1500Deep", 1500, false},
                                           DeepDeletion{"Contents1500Deep", 1500, true}),
                         [](const auto& info) { return std::string(info.param.name); });

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

void Folder(const std::string& path, mode_t mode, uid_t owner = 0) {
    std::filesystem::create_directories(path);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    EXPECT_EQ(chown(path.c_str(), owner, owner), 0);
}

// A store in `folder` holding HKEY_CURRENT_USER\Software\Planted, its files owned by `owner`.
void Plant(const std::string& folder, uid_t owner) {
    UseRegistryStore(folder + "/registry.db");
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Planted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(folder + "/elsewhere.db");
    for (const char* suffix : {"", "-wal", "-shm"}) chown((folder + "/registry.db" + suffix).c_str(), owner, owner);
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

// Every entry below `folder`: its owner, mode and, for a file, its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat st {};
        lstat(entry.path().c_str(), &st);
        entries[entry.path()] = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) +
                                (S_ISREG(st.st_mode) ? " " + Contents(entry.path()) : "");
    }
    return entries;
}

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
// once its writer has been quiet for the README's period (kQuietPeriod) is read as itself by every
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

constexpr auto kQuietPeriod = std::chrono::seconds(1);  // as the README asks of a writer

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

// A child forked by a process that had the store open reads through a connection of its own: the
// parent's locks are not the child's, so once the parent is gone another process may take the log
// files away.
TEST_F(StoreFaults, AForkedChildReadsThroughAConnectionOfItsOwn) {
    const std::string path = StoreDir() + "/forked.db";
    UseRegistryStore(path);
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\F");
    ASSERT_EQ(SetDword(key, "V", 1), ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(StoreDir() + "/elsewhere.db");
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    const pid_t parent = fork();
    if (parent == 0) {
        UseRegistryStore(path);
        HKEY k = nullptr;
        DWORD v = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\F", 0, KEY_READ, &k) != ERROR_SUCCESS ||
            QueryDword(k, "V", v) != 0)
            _exit(1);
        if (fork() == 0) {  // the child: outlives its parent, and tells how it read
            char code = 0;
            if (read(go[0], &code, 1) != 1) _exit(2);
            v = 0;
            code = QueryDword(k, "V", v) != ERROR_SUCCESS ? 3 : v == 2 ? 0 : 4;
            _exit(write(ready[1], &code, 1) == 1 ? 0 : 5);
        }
        _exit(0);  // the parent ends without closing the store, as a crash would
    }
    int status = -1;
    waitpid(parent, &status, 0);
    ASSERT_EQ(status, 0);
    // Another program, alone with the file as far as the locks tell, takes the log files away.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    UseRegistryStore(path);
    key = Create(HKEY_LOCAL_MACHINE, "Software\\F");
    ASSERT_EQ(SetDword(key, "V", 2), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    close(ready[1]);
    char code = -1;
    ASSERT_EQ(read(ready[0], &code, 1), 1);
    EXPECT_EQ(code, 0) << "3: the read failed, 4: it gave the value from before the parent ended";
}

// The log stays small however long the writing goes on, also while another process holds the store
// open (so that no one closes it last), and across many writers that end without closing it.
struct Writing {
    const char* name;
    int writers;  // each in a process of its own; 0: this process writes
    int writesEach;
    bool holder;          // another process keeps the store open meanwhile
    bool atOnce = false;  // the writers write at the same time, each without a pause
};

void PrintTo(const Writing& c, std::ostream* os) {
    *os << c.name;
}

class LogSize : public StoreFaults, public ::testing::WithParamInterface<Writing> {};

// The bound the log keeps, and its length now (0 when there is none).
constexpr off_t kMost = 4 << 20;
off_t LogBytes(const std::string& store) {
    struct stat st {};
    return stat((store + "-wal").c_str(), &st) == 0 ? st.st_size : 0;
}

TEST_P(LogSize, StaysWithinFourMegabytes) {
    const std::string path = StoreDir() + "/busy.db";
    const auto logSize = [&] { return LogBytes(path); };
    const auto writes = [&](int count, int first) {
        UseRegistryStore(path);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Busy", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return 1;
        for (int i = 0; i < count; ++i) {
            if (SetDword(key, ("V" + std::to_string(i % 8)).c_str(), static_cast<DWORD>(first + i)) != ERROR_SUCCESS)
                return 2;
            if (i % 1000 == 999 && logSize() > kMost) return 3;
        }
        return 0;
    };
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    pid_t holder = -1;
    if (GetParam().holder) {
        ASSERT_EQ(writes(1, 0), 0);
        UseRegistryStore(StoreDir() + "/elsewhere.db");
        holder = fork();
        if (holder == 0) {
            close(done[1]);
            UseRegistryStore(path);
            DWORD value = 0;
            HKEY key = nullptr;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Busy", 0, KEY_READ, &key);
            QueryDword(key, "V0", value);
            char byte;
            _exit(read(done[0], &byte, 1) < 0 ? 1 : 0);
        }
    }
    close(done[0]);
    if (GetParam().writers == 0) {
        EXPECT_EQ(writes(GetParam().writesEach, 0), 0) << "3: the log grew past 4 MiB";
    } else if (GetParam().atOnce) {
        std::vector<pid_t> writers;
        for (int w = 0; w < GetParam().writers; ++w) {
            const pid_t pid = fork();
            if (pid == 0) _exit(writes(GetParam().writesEach, w * GetParam().writesEach));
            writers.push_back(pid);
        }
        off_t most = 0;
        for (int running = static_cast<int>(writers.size()); running > 0;) {
            most = std::max(most, logSize());
            for (pid_t& pid : writers) {
                int status = 0;
                if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) continue;
                EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), 0)
                    << "a writer (3: it saw the log past 4 MiB)";
                pid = -1;
                --running;
            }
            usleep(1000);
        }
        EXPECT_LE(most, kMost) << "the longest log seen while they wrote";
    } else {
        for (int w = 0; w < GetParam().writers && !HasFailure(); ++w) {
            EXPECT_EQ(InChild([&] { return writes(GetParam().writesEach, w * GetParam().writesEach); }), 0)
                << "writer " << w << " (3: the log grew past 4 MiB)";
            EXPECT_LE(logSize(), kMost) << "after writer " << w;
        }
    }
    close(done[1]);
    if (holder > 0) waitpid(holder, nullptr, 0);
    EXPECT_LE(logSize(), kMost);
}

INSTANTIATE_TEST_SUITE_P(Store, LogSize,
                         ::testing::Values(Writing{"OneWriter", 0, 100000, false},
                                           Writing{"BesideAProcessHoldingTheStore", 0, 100000, true},
                                           Writing{"ManyShortLivedWriters", 200, 500, true},
                                           Writing{"TwoWritersAtOnce", 2, 40000, false, true},
                                           Writing{"FourWritersAtOnce", 4, 20000, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A writer that could not switch the file to the log (another held it) and so wrote without one
// keeps the log's bound once another switches it: it once appended unchecked, and four writers
// started at once took the log to 6.4 MiB.
TEST_F(StoreFaults, AWriterThatFoundNoLogKeepsTheBoundOnceTheFileHasOne) {
    const std::string path = StoreDir() + "/late.db";
    const auto logSize = [&] { return LogBytes(path); };
    UseRegistryStore(path);
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Late");
    ASSERT_EQ(SetDword(key, "V", 0), ERROR_SUCCESS);
    RegCloseKey(key);
    UseRegistryStore(StoreDir() + "/elsewhere.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t other = fork();
    if (other == 0) {
        // Holds the write lock while the writer prepares, then switches the file to the log and
        // reads, so that the log cannot start over, until the writer waits or the log is too long.
        sqlite3* own = nullptr;
        if (sqlite3_open(path.c_str(), &own) != SQLITE_OK) _exit(1);
        sqlite3_busy_timeout(own, 5000);
        if (sqlite3_exec(own, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) _exit(2);
        if (write(held[1], "x", 1) != 1) _exit(3);
        usleep(300 * 1000);
        if (sqlite3_exec(own, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) _exit(4);
        // The writer may take the lock in between: the switch is tried until it is done.
        for (int tries = 0; sqlite3_exec(own, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK;
             usleep(1000))
            if (++tries == 5000) _exit(5);
        if (sqlite3_exec(own, "BEGIN; SELECT count(*) FROM keys", nullptr, nullptr, nullptr) != SQLITE_OK) _exit(6);
        for (off_t last = -1; last != logSize() && logSize() <= kMost;) {
            last = logSize();
            usleep(300 * 1000);
        }
        sqlite3_exec(own, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(own);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(held[0], &byte, 1), 1);
    UseRegistryStore(path);
    key = Create(HKEY_LOCAL_MACHINE, "Software\\Late");
    off_t most = 0;
    for (DWORD i = 0; i < 2000 && most <= kMost; ++i) {
        ASSERT_EQ(SetDword(key, ("V" + std::to_string(i % 8)).c_str(), i), ERROR_SUCCESS) << i;
        most = std::max(most, logSize());
    }
    RegCloseKey(key);
    int status = -1;
    waitpid(other, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_LE(most, kMost) << "the longest log seen";
}

}  // namespace
