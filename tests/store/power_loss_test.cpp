// Power loss, as SQLite's own tests simulate it: a test VFS over the default one sees every write and
// every sync of the store's files, and keeps what a disk would still hold if the power went at that
// moment: of each file the data of its last sync, of the folder the entries of its last sync. A run
// of registry writes is cut, in turn, just before each of its sync points; after every cut the store
// must open, pass SQLite's integrity check, hold exactly the writes up to some point no earlier
// than its last flush (never part of one), and take new writes. The run ends with writes that no
// flush follows: the power goes once the background flush has synced them, and they must all be there.
#include "registry_store.h"
#include "winapi.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What a power cut would leave: file name -> contents.
using DiskImage = std::map<std::string, std::shared_ptr<const std::string>>;

struct Cut {
    DiskImage image;
    int flushed;  // writes that a flush had made durable
    int begun;    // writes begun; the last may or may not have reached the disk
};

// The durable side of one watched folder. Files are known by inode, as the folder's entries are.
struct Disk {
    std::mutex mutex;
    std::string dir;
    bool recording = false;
    std::map<ino_t, std::shared_ptr<const std::string>> synced;  // a file's data as of its last sync
    std::map<std::string, ino_t> entries;                        // the folder as of its last sync
    std::set<ino_t> unsynced;                                    // files written since their last sync
    std::condition_variable syncedAll;
    int flushed = 0, begun = 0;
    std::vector<Cut> cuts;

    // Called with the mutex held, just before a sync takes effect.
    void CutHere() {
        static const auto empty = std::make_shared<const std::string>();
        Cut cut{{}, flushed, begun};
        for (const auto& [name, ino] : entries) {
            if (name.ends_with("-shm")) continue;  // SQLite rebuilds the shared-memory index on opening
            const auto it = synced.find(ino);
            cut.image[name] = it != synced.end() ? it->second : empty;
        }
        cuts.push_back(std::move(cut));
    }
    std::map<std::string, ino_t> Scan() const {
        std::map<std::string, ino_t> found;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file()) {
                struct stat st {};
                if (stat(entry.path().c_str(), &st) == 0) found[entry.path().filename()] = st.st_ino;
            }
        return found;
    }
};

Disk g_disk;
sqlite3_vfs* g_base = nullptr;
sqlite3_syscall_ptr g_openDirectory = nullptr;

struct File {
    sqlite3_file base;
    sqlite3_file* real;
    ino_t ino;
    bool watched;
};

sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<File*>(f)->real;
}

int Sync(sqlite3_file* file, int flags) {
    auto* f = reinterpret_cast<File*>(file);
    if (f->watched) {
        std::lock_guard lock(g_disk.mutex);
        if (g_disk.recording) {
            g_disk.CutHere();
            sqlite3_int64 size = 0;
            f->real->pMethods->xFileSize(f->real, &size);
            auto data = std::make_shared<std::string>(static_cast<size_t>(size), '\0');
            if (size > 0) f->real->pMethods->xRead(f->real, data->data(), static_cast<int>(size), 0);
            g_disk.synced[f->ino] = std::move(data);
            g_disk.unsynced.erase(f->ino);
            if (g_disk.unsynced.empty()) g_disk.syncedAll.notify_all();
        }
    }
    return f->real->pMethods->xSync(f->real, flags);  // the folder's sync, when due, comes through OpenDirectory
}

// The default VFS syncs a folder through this system call: the folder's entries become durable.
int OpenDirectory(const char* path, int* fd) {
    {
        std::lock_guard lock(g_disk.mutex);
        if (g_disk.recording && fs::path(path).parent_path() == g_disk.dir) {
            g_disk.CutHere();
            g_disk.entries = g_disk.Scan();
        }
    }
    return reinterpret_cast<int (*)(const char*, int*)>(g_openDirectory)(path, fd);
}

const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); },
    [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) { return Real(f)->pMethods->xRead(Real(f), p, n, o); },
    [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
        if (reinterpret_cast<File*>(f)->watched) {
            std::lock_guard lock(g_disk.mutex);
            g_disk.unsynced.insert(reinterpret_cast<File*>(f)->ino);
        }
        return Real(f)->pMethods->xWrite(Real(f), p, n, o);
    },
    [](sqlite3_file* f, sqlite3_int64 n) { return Real(f)->pMethods->xTruncate(Real(f), n); },
    Sync,
    [](sqlite3_file* f, sqlite3_int64* n) { return Real(f)->pMethods->xFileSize(Real(f), n); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); },
    [](sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); },
    [](sqlite3_file* f, int* r) { return Real(f)->pMethods->xCheckReservedLock(Real(f), r); },
    [](sqlite3_file* f, int op, void* a) { return Real(f)->pMethods->xFileControl(Real(f), op, a); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    [](sqlite3_file* f, int i, int n, int w, void volatile** p) {
        return Real(f)->pMethods->xShmMap(Real(f), i, n, w, p);
    },
    [](sqlite3_file* f, int o, int n, int fl) { return Real(f)->pMethods->xShmLock(Real(f), o, n, fl); },
    [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    [](sqlite3_file* f, int d) { return Real(f)->pMethods->xShmUnmap(Real(f), d); },
    [](sqlite3_file* f, sqlite3_int64 o, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), o, n, p); },
    [](sqlite3_file* f, sqlite3_int64 o, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), o, p); },
};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* f = reinterpret_cast<File*>(file);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->watched = false;
    const bool existed = name != nullptr && access(name, F_OK) == 0;
    const int rc = g_base->xOpen(g_base, name, f->real, flags, outFlags);
    f->base.pMethods = rc == SQLITE_OK ? &kMethods : nullptr;
    struct stat st {};
    if (rc == SQLITE_OK && name != nullptr && fs::path(name).parent_path() == g_disk.dir && stat(name, &st) == 0) {
        std::lock_guard lock(g_disk.mutex);
        f->watched = true;
        f->ino = st.st_ino;
        if (!existed) g_disk.synced.erase(f->ino);  // a new file: nothing of it is durable yet
    }
    return rc;
}

sqlite3_vfs g_vfs = {
    2,
    0,
    0,
    nullptr,
    "power-loss",
    nullptr,
    Open,
    [](sqlite3_vfs*, const char* p, int d) { return g_base->xDelete(g_base, p, d); },
    [](sqlite3_vfs*, const char* p, int f, int* r) { return g_base->xAccess(g_base, p, f, r); },
    [](sqlite3_vfs*, const char* p, int n, char* out) { return g_base->xFullPathname(g_base, p, n, out); },
    [](sqlite3_vfs*, const char* p) { return g_base->xDlOpen(g_base, p); },
    [](sqlite3_vfs*, int n, char* m) { g_base->xDlError(g_base, n, m); },
    [](sqlite3_vfs*, void* h, const char* s) { return g_base->xDlSym(g_base, h, s); },
    [](sqlite3_vfs*, void* h) { g_base->xDlClose(g_base, h); },
    [](sqlite3_vfs*, int n, char* out) { return g_base->xRandomness(g_base, n, out); },
    [](sqlite3_vfs*, int us) { return g_base->xSleep(g_base, us); },
    [](sqlite3_vfs*, double* t) { return g_base->xCurrentTime(g_base, t); },
    [](sqlite3_vfs*, int n, char* m) { return g_base->xGetLastError(g_base, n, m); },
    [](sqlite3_vfs*, sqlite3_int64* t) { return g_base->xCurrentTimeInt64(g_base, t); },
    nullptr,
    nullptr,
    nullptr,
};

// A registry as seen through the API: root and key name -> value name -> type and data.
using Contents = std::map<std::string, std::map<std::string, std::string>>;

constexpr const char* kRunKey = "Software\\PowerLoss";
// The run writes below two roots, which live in two store files of their own.
struct Root {
    HKEY key;
    const char* name;
};
const Root kRoots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};

// The part of `c` below one root: each store file keeps its own writes whole.
Contents Below(const Contents& c, const Root& root) {
    Contents part;
    for (const auto& [key, values] : c)
        if (key.starts_with(std::string(root.name) + "\\")) part.emplace(key, values);
    return part;
}

std::string Typed(DWORD type, const std::string& data) {
    return std::to_string(type) + ":" + data;
}

// Everything under ROOT\Software\PowerLoss, one level of keys deep as the run writes it.
LONG ReadBack(const Root& root, Contents& out) {
    HKEY run = nullptr;
    LONG rc = RegOpenKeyExA(root.key, kRunKey, 0, KEY_READ, &run);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
        char name[256];
        DWORD cch = sizeof name;
        rc = RegEnumKeyExA(run, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) break;
        HKEY key = nullptr;
        if ((rc = RegOpenKeyExA(run, name, 0, KEY_READ, &key)) != ERROR_SUCCESS) break;
        auto& values = out[std::string(root.name) + "\\" + name];
        for (DWORD j = 0; rc == ERROR_SUCCESS; ++j) {
            char valueName[256];
            std::string data(4096, '\0');
            DWORD vcch = sizeof valueName, type = 0, cb = static_cast<DWORD>(data.size());
            rc = RegEnumValueA(key, j, valueName, &vcch, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &cb);
            if (rc == ERROR_SUCCESS) values[valueName] = Typed(type, data.substr(0, cb));
        }
        RegCloseKey(key);
        if (rc == ERROR_NO_MORE_ITEMS) rc = ERROR_SUCCESS;
    }
    RegCloseKey(run);
    return rc == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : rc;
}

std::string Describe(const Contents& c) {
    std::string out;
    for (const auto& [key, values] : c) {
        out += key + "{";
        for (const auto& [name, data] : values) out += name + "=" + std::to_string(data.size()) + "B ";
        out += "} ";
    }
    return out.empty() ? "(empty)" : out;
}

class PowerLoss : public ::testing::Test {
protected:
    void SetUp() override {
        // On a RAM disk the run's real syncs cost nothing.
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "versioninfo-power-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        fs::create_directory(root_ / "disk");
        fs::create_directory(root_ / "after");
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
        g_disk.dir = (root_ / "disk").string();
        g_disk.synced.clear();
        g_disk.entries.clear();
        g_disk.unsynced.clear();
        g_disk.cuts.clear();
        g_disk.flushed = g_disk.begun = 0;
        g_base = sqlite3_vfs_find(nullptr);
        ASSERT_NE(g_base, nullptr);
        g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_base->szOsFile;
        g_vfs.mxPathname = g_base->mxPathname;
        g_openDirectory = g_base->xGetSystemCall(g_base, "openDirectory");
        ASSERT_NE(g_openDirectory, nullptr) << "the default VFS syncs folders through openDirectory";
        ASSERT_EQ(g_base->xSetSystemCall(g_base, "openDirectory", reinterpret_cast<sqlite3_syscall_ptr>(OpenDirectory)),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_vfs_register(&g_vfs, 1), SQLITE_OK);
    }
    void TearDown() override {
        UseRegistryStore((root_ / "none.db").string());
        sqlite3_vfs_unregister(&g_vfs);
        g_base->xSetSystemCall(g_base, "openDirectory", nullptr);
        fs::remove_all(root_);
    }

    std::string StorePath(const char* folder = "disk", const char* name = "system.db") const {
        return (root_ / folder / name).string();
    }
    void UseStores(const char* folder) { UseRegistryStore(StorePath(folder), StorePath(folder, "user.db")); }

    // Puts what the disk held at `cut` into the folder "after" and points the store at it.
    void PowerOnAfter(const Cut& cut) {
        for (const auto& entry : fs::directory_iterator(root_ / "after")) fs::remove(entry.path());
        for (const auto& [name, data] : cut.image) std::ofstream(root_ / "after" / name, std::ios::binary) << *data;
        UseStores("after");
    }

    static std::string IntegrityCheck(const std::string& path) {
        sqlite3* db = nullptr;
        std::string result = "cannot open";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                db, "PRAGMA integrity_check",
                [](void* out, int, char** values, char**) {
                    *static_cast<std::string*>(out) = values[0] ? values[0] : "";
                    return 0;
                },
                &result, nullptr);
        }
        sqlite3_close(db);
        return result;
    }

    fs::path root_;
};

// A few hundred writes of every kind the store takes (some of them transactions of three), with a
// flush every 25.
struct WriteRun {
    std::vector<Contents> after;  // after[i]: the registry after the first i writes

    void Go(const std::function<void()>& closeAndReopen, Disk& disk) {
        std::mt19937 random(20261208);
        Contents now;
        after.push_back(now);
        std::map<std::string, HKEY> open;
        constexpr int kWrites = 310, kFlushEvery = 25;
        for (int i = 0; i < kWrites; ++i) {
            const unsigned k = random() % 6;
            const Root& root = kRoots[k % 2];
            const std::string key = std::string(root.name) + "\\K" + std::to_string(k);
            const std::string path = std::string(kRunKey) + "\\K" + std::to_string(k);
            const std::string value = "V" + std::to_string(random() % 12);
            const unsigned kind = random() % 10;
            {
                std::lock_guard lock(disk.mutex);
                disk.begun = i + 1;
            }
            if (!now.contains(key) || !open.contains(key)) {  // make (or open) the key: a write when it is new
                HKEY h = nullptr;
                ASSERT_EQ(RegCreateKeyExA(root.key, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                          ERROR_SUCCESS);
                open[key] = h;
                now[key];
            } else if (kind < 6) {
                Set(random, open[key], value, now[key]);
            } else if (kind < 7) {  // three values in one transaction: all of them or none
                const LONG rc = RunInStoreTransaction([&] {
                    for (const char* suffix : {"a", "b", "c"}) Set(random, open[key], value + suffix, now[key]);
                    return ERROR_SUCCESS;
                });
                ASSERT_EQ(rc, ERROR_SUCCESS);
            } else if (kind < 9) {
                const bool had = now[key].erase(value) == 1;
                ASSERT_EQ(RegDeleteValueA(open[key], value.c_str()), had ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
            } else {
                ASSERT_EQ(RegDeleteTreeA(root.key, path.c_str()), ERROR_SUCCESS);
                RegCloseKey(open[key]);
                open.erase(key);
                now.erase(key);
            }
            after.push_back(now);
            if ((i + 1) % kFlushEvery == 0) {
                Flush(closeAndReopen, open, i / kFlushEvery);
                std::lock_guard lock(disk.mutex);
                disk.flushed = i + 1;
            }
        }
    }

    static void Set(std::mt19937& random, HKEY key, const std::string& value, std::map<std::string, std::string>& now) {
        std::string data(random() % 16 == 0 ? 3000 : random() % 64, '\0');
        for (char& c : data) c = static_cast<char>(random());
        const DWORD type = data.size() == 4 ? REG_DWORD : REG_BINARY;
        ASSERT_EQ(RegSetValueExA(key, value.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        now[value] = Typed(type, data);
    }

    // Every other flush closes the stores cleanly; the rest ask for it.
    static void Flush(const std::function<void()>& closeAndReopen, std::map<std::string, HKEY>& open, int n) {
        if (n % 2 == 0) {
            for (const Root& root : kRoots) ASSERT_EQ(RegFlushKey(root.key), ERROR_SUCCESS);
            return;
        }
        closeAndReopen();
        open.clear();  // handles end with the store they were opened in
    }
};

TEST_F(PowerLoss, EveryCutLeavesAWholeStoreWithEveryFlushedWrite) {
    UseStores("disk");
    WriteRun run;
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.recording = true;
    }
    run.Go(
        [&] {
            UseRegistryStore((root_ / "none.db").string());
            UseStores("disk");
        },
        g_disk);
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.CutHere();  // the power goes right after the last write
    }
    {
        // ... or once the background flush has synced everything written: it does so within
        // kFlushBound (0.2 s). Waiting much longer only guards against a stalled machine.
        const auto lastWrite = std::chrono::steady_clock::now();
        std::unique_lock lock(g_disk.mutex);
        EXPECT_TRUE(g_disk.syncedAll.wait_for(lock, std::chrono::seconds(10), [] { return g_disk.unsynced.empty(); }))
            << "the last writes were never synced without a flush";
        RecordProperty("synced_after_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               std::chrono::steady_clock::now() - lastWrite)
                                                               .count()));
        g_disk.flushed = g_disk.begun;
        g_disk.CutHere();
        g_disk.recording = false;
    }
    UseRegistryStore((root_ / "none.db").string());
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_GT(g_disk.cuts.size(), 20u) << "the run passes many sync points";

    int failures = 0;
    for (size_t n = 0; n < g_disk.cuts.size() && failures < 3; ++n) {
        const Cut& cut = g_disk.cuts[n];
        PowerOnAfter(cut);
        Contents found;
        LONG rc = ERROR_SUCCESS, write = ERROR_SUCCESS;
        bool whole = true;
        std::string integrity;
        for (const Root& root : kRoots) {
            rc = rc != ERROR_SUCCESS ? rc : ReadBack(root, found);
            bool some = false;
            for (int j = cut.flushed; j <= cut.begun && !some; ++j)
                some = Below(found, root) == Below(run.after[j], root);
            whole = whole && some;
            HKEY key = nullptr;
            const LONG made = RegCreateKeyExA(root.key, "Software\\AfterTheCut", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                              &key, nullptr);
            RegCloseKey(key);
            write = write != ERROR_SUCCESS ? write : made;
        }
        for (const char* file : {"system.db", "user.db"}) {
            const std::string result = IntegrityCheck(StorePath("after", file));
            if (cut.image.contains(file) && result != "ok") integrity += std::string(file) + ": " + result + " ";
        }
        const bool ok = rc == ERROR_SUCCESS && whole && integrity.empty() && write == ERROR_SUCCESS;
        failures += !ok;
        EXPECT_TRUE(ok) << "cut " << n << " of " << g_disk.cuts.size() << ", after " << cut.begun << " writes begun, "
                        << cut.flushed << " flushed:\n  read back (" << rc << "): " << Describe(found)
                        << "\n  after the flush:  " << Describe(run.after[cut.flushed])
                        << "\n  integrity check: " << (integrity.empty() ? "ok" : integrity)
                        << "; a new write: " << write;
    }
}

// The disk keeps what was synced and forgets the rest.
TEST_F(PowerLoss, AWriteNeverSyncedIsLost) {
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.recording = true;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
    const char* const writes =
        "PRAGMA synchronous = EXTRA; CREATE TABLE t(x); INSERT INTO t VALUES (1);"
        "PRAGMA synchronous = OFF; INSERT INTO t VALUES (2);";
    ASSERT_EQ(sqlite3_exec(db, writes, nullptr, nullptr, nullptr), SQLITE_OK);
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.CutHere();
        g_disk.recording = false;
    }
    sqlite3_close(db);
    PowerOnAfter(g_disk.cuts.back());
    UseRegistryStore((root_ / "none.db").string());
    std::string rows;
    ASSERT_EQ(sqlite3_open(StorePath("after").c_str(), &db), SQLITE_OK);
    sqlite3_exec(
        db, "SELECT group_concat(x) FROM t",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(rows, "1");
}

// RegFlushKey flushes the whole store, as Windows flushes the whole hive: also another process's
// writes, in a process that never wrote. Here the other process's own syncs are not this disk's.
TEST_F(PowerLoss, AFlushInAProcessThatNeverWroteKeepsAnothersWrites) {
    UseStores("disk");
    const auto set = [](DWORD value) {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS) rc = RegSetValueExA(key, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
        RegCloseKey(key);
        return rc;
    };
    const auto get = [] {
        DWORD value = 0, size = 4;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key) == ERROR_SUCCESS)
            RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
        return value;
    };
    ASSERT_EQ(set(1), ERROR_SUCCESS);
    UseRegistryStore((root_ / "none.db").string());
    UseStores("disk");
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.recording = true;
    }
    ASSERT_EQ(get(), 1u);  // this process has the store open and has read it
    const pid_t other = fork();
    if (other == 0) _exit(static_cast<int>(set(2)));  // ends without closing the store
    int status = -1;
    waitpid(other, &status, 0);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    {
        std::lock_guard lock(g_disk.mutex);
        g_disk.CutHere();
        g_disk.recording = false;
    }
    PowerOnAfter(g_disk.cuts.back());
    EXPECT_EQ(get(), 2u) << "the other process's write was not made durable by the flush";
}

}  // namespace
