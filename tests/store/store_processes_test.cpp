// Faults the store once had among processes: stores made by several at once, readers after a
// writer's crash or beside a writer's lock, a forked child, and the log's bound under many writers.
#include "store_faults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace std::string_literals;
using namespace store_test;

namespace {

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

// The reads of one snapshot (an export's) see the store as it was at the first of them while another
// process writes, enumerations too; the first read after it sees the writes.
TEST_F(StoreFaults, ASnapshotReadsOneStateWhileAnotherProcessWrites) {
    UseRegistryStore(StorePath());
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Snap");
    ASSERT_EQ(SetDword(key, "A", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, "B", 1), ERROR_SUCCESS);
    // Each value as NAME=DATA, in the order enumeration gives them.
    const auto listed = [&] {
        std::string all;
        char name[16];
        DWORD data = 0;
        for (DWORD i = 0;; ++i) {
            DWORD cch = sizeof name, size = sizeof data;
            if (RegEnumValueA(key, i, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
                ERROR_SUCCESS)
                return all;
            all += std::string(name) + "=" + std::to_string(data) + " ";
        }
    };
    DWORD a = 0;
    std::string during;
    int writer = -1;
    const LONG rc = RunInStoreSnapshot(HKEY_LOCAL_MACHINE, [&]() -> LONG {
        if (const LONG got = QueryDword(key, "A", a); got != ERROR_SUCCESS) return got;
        writer = InChild([&] {
            UseRegistryStore(StorePath());  // a connection of its own
            HKEY k = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Snap", 0, KEY_WRITE, &k) != ERROR_SUCCESS) return 1;
            for (const char* name : {"A", "B", "C"})
                if (SetDword(k, name, 2) != ERROR_SUCCESS) return 2;
            return 0;
        });
        during = listed();
        return ERROR_SUCCESS;
    });
    ASSERT_EQ(rc, ERROR_SUCCESS);
    ASSERT_EQ(writer, 0) << "the other process could not write beside the snapshot";
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(during, "A=1 B=1 ") << "a read inside the snapshot saw a write made after its first read";
    EXPECT_EQ(listed(), "A=2 B=2 C=2 ") << "the writes are not seen once the snapshot ended";
    RegCloseKey(key);
}

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
    bool holder;           // another process keeps the store open meanwhile
    bool atOnce = false;   // the writers write at the same time, each without a pause
    bool reading = false;  // and the holder reads all the while, each read a transaction of its own
    DWORD valueBytes = 4;  // what each write writes: large ones leave the log no slack past a write
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
        std::string data(GetParam().valueBytes, 'x');
        for (int i = 0; i < count; ++i) {
            const auto value = static_cast<DWORD>(first + i);
            // Every page of it changed: SQLite writes only those of a row's pages that differ.
            data.assign(data.size(), static_cast<char>(value));
            std::memcpy(data.data(), &value, sizeof value);
            if (RegSetValueExA(key, ("V" + std::to_string(i % 8)).c_str(), 0, REG_BINARY,
                               reinterpret_cast<const BYTE*>(data.data()), GetParam().valueBytes) != ERROR_SUCCESS)
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
            // Readers that start while the log is copied back, some of them reading in it after.
            char byte;
            if (GetParam().reading) {
                fcntl(done[0], F_SETFL, O_NONBLOCK);
                DWORD type = 0, size = 0;
                while (read(done[0], &byte, 1) < 0 && errno == EAGAIN)
                    if (RegQueryValueExA(key, "V0", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) _exit(2);
                _exit(0);
            }
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
    if (holder > 0) {
        int status = 0;
        waitpid(holder, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the holder could not read";
    }
    EXPECT_LE(logSize(), kMost);
}

INSTANTIATE_TEST_SUITE_P(Store, LogSize,
                         ::testing::Values(Writing{"OneWriter", 0, 100000, false},
                                           Writing{"BesideAProcessHoldingTheStore", 0, 100000, true},
                                           Writing{"LargeValuesBesideAReader", 0, 3000, true, false, true, 200000},
                                           Writing{"ManyShortLivedWriters", 200, 500, true},
                                           Writing{"TwoWritersAtOnce", 2, 40000, false, true},
                                           Writing{"FourWritersAtOnce", 4, 20000, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A write that finds the log full has it started over in place: cutting the file to nothing and
// growing it again, page by page, once cost a run of small writes a third of their time. Only the
// background flush cuts it, once the store has been quiet for a round: a cut seen after a pause
// between writes long enough for one is its, and is not counted.
TEST_F(StoreFaults, AWriteThatFindsTheLogFullStartsItOverInPlace) {
    const std::string path = StoreDir() + "/inplace.db";
    UseRegistryStore(path);
    HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\InPlace");
    ASSERT_NE(key, nullptr);
    constexpr auto kNoRoundBetween = std::chrono::milliseconds(40);  // the flush's rounds are 0.1 s apart
    off_t longest = 0, last = 0;
    int cuts = 0, cycles = 0;
    auto before = std::chrono::steady_clock::now();
    for (DWORD i = 0; i < 6000; ++i) {
        ASSERT_EQ(SetDword(key, ("V" + std::to_string(i % 8)).c_str(), i), ERROR_SUCCESS);
        const auto now = std::chrono::steady_clock::now();
        const off_t size = LogBytes(path);
        if (size < last && now - before < kNoRoundBetween) ++cuts;
        if (size == last && size == longest && size > 0) ++cycles;  // overwriting what it had written
        longest = std::max(longest, size);
        last = size;
        before = now;
    }
    RegCloseKey(key);
    EXPECT_GT(longest, kMost / 2) << "the log was never long enough to be emptied";
    EXPECT_GT(cycles, 0) << "the log was never started over";
    EXPECT_EQ(cuts, 0) << "a write cut the log";
}

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
