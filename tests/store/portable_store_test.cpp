// The portable store's answers, which the registry class relies on: Windows' result codes and
// effects, access rights, persistence, and survival of damaged files and concurrent writers.
#include "QxRegistry.h"
#include "registry_store.h"
#include "registry_test.h"
#include "winapi.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

using namespace std::string_literals;

namespace {

class PortableStore : public RegistryTest {
protected:
    HKEY Open(REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(Root(), KeyPath().c_str(), 0, access, &key), ERROR_SUCCESS);
        return key;
    }
    static LONG Set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }
};

TEST_F(PortableStore, InvalidHandlesFailEveryCall) {
    HKEY closed = Open();
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    for (HKEY bad : {static_cast<HKEY>(nullptr), closed}) {
        HKEY out = reinterpret_cast<HKEY>(0x1);
        DWORD type = 0, size = 0;
        const BYTE byte = 0;
        EXPECT_EQ(RegOpenKeyExA(bad, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
        EXPECT_EQ(out, nullptr) << "a failed open writes 0 into the handle";
        out = reinterpret_cast<HKEY>(0x1);
        EXPECT_EQ(RegCreateKeyExA(bad, "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(RegQueryValueExA(bad, "v", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExA(bad, "v", 0, REG_SZ, &byte, 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueA(bad, "v"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegFlushKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    }
}

TEST_F(PortableStore, MissingKeysAndValuesAreNotFound) {
    HKEY out = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(Root(), (KeyPath() + "\\Missing").c_str(), 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    HKEY key = Open();
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "Missing"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(PortableStore, SizeAndDataQueries) {
    HKEY key = Open();
    ASSERT_EQ(Set(key, "V", REG_SZ, "hello\0"s), ERROR_SUCCESS);

    DWORD type = 99, size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 6u);

    std::string small(3, '#');
    size = 3;
    type = REG_DWORD;  // the type passed in is ignored
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, reinterpret_cast<BYTE*>(small.data()), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u) << "the count tells the size needed";
    EXPECT_EQ(small, "###") << "nothing is written into a buffer that is too small";

    std::string buffer(10, '#');
    size = 10;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer, "hello\0####"s);
    RegCloseKey(key);
}

TEST_F(PortableStore, StoresExactlyTheTypeAndBytesGiven) {
    HKEY key = Open();
    ASSERT_EQ(Set(key, "Empty", REG_SZ, ""), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "Odd", 12345, "\x01\x00\xFF"s), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "Unterminated", REG_SZ, "abc"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Get("Empty"), (Stored{REG_SZ, ""}));
    EXPECT_EQ(Get("Odd"), (Stored{12345, "\x01\x00\xFF"s}));
    EXPECT_EQ(Get("Unterminated"), (Stored{REG_SZ, "abc"}));
}

TEST_F(PortableStore, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    HKEY key = Open();
    ASSERT_EQ(Set(key, "ProductName", REG_SZ, "one\0"s), ERROR_SUCCESS);
    ASSERT_EQ(Set(key, "PRODUCTNAME", REG_SZ, "two\0"s), ERROR_SUCCESS);
    EXPECT_EQ(Get("productname"), (Stored{REG_SZ, "two\0"s})) << "one value, overwritten";
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_SUCCESS);
    RegCloseKey(sub);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(key, "SUB", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    RegCloseKey(sub);
    RegCloseKey(key);
}

TEST_F(PortableStore, WritesNeedTheRightToSetValues) {
    HKEY key = Open(KEY_READ);
    EXPECT_EQ(Set(key, "V", REG_SZ, "x\0"s), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_FALSE(Get("V").has_value());
}

TEST_F(PortableStore, ValuesPersistAcrossReopeningTheStore) {
    Put("V", REG_DWORD, Dword(42));
    UseRegistryStore(StorePath());
    EXPECT_EQ(Get("V"), (Stored{REG_DWORD, Dword(42)}));
}

// A store this process may only read: write rights are refused, read rights granted.
void ExpectReadOnlyBehaviour(const std::string& keyPath) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, 0x3F, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    for (REGSAM write : {KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_CREATE_LINK})
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, write, &key), ERROR_ACCESS_DENIED) << write;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (keyPath + "\\New").c_str(), 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    char data[16] = {};
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_STREQ(data, "kept");
    RegCloseKey(key);
    // The registry class settles for reading.
    QxRegistry reg;
    ASSERT_TRUE(reg.OpenKey(keyPath, HKEY_CURRENT_USER));
    EXPECT_EQ(reg.GetStringValue("V", ""), "kept");
}

TEST_F(PortableStore, AStoreOpenedReadOnlyIsReadButNotWritten) {
    Put("V", REG_SZ, Sz("kept"));
    UseRegistryStore(StorePath(), StoreAccess::ReadOnly);
    ExpectReadOnlyBehaviour(KeyPath());
}

TEST_F(PortableStore, AStoreTheUserMayNotWriteIsReadButNotWritten) {
    Put("V", REG_SZ, Sz("kept"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As root, file modes do not stop a write: become nobody first.
        chmod(StoreDir().c_str(), 0755);
        chmod(StorePath().c_str(), 0644);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        if (geteuid() != 0) {
            chmod(StorePath().c_str(), 0444);
            chmod(StoreDir().c_str(), 0555);
        }
        UseRegistryStore(StorePath());
        ExpectReadOnlyBehaviour(KeyPath());
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged child saw other answers (its failures are above)";
}

TEST_F(PortableStore, AMissingStoreThatCannotBeCreatedIsEmpty) {
    UseRegistryStore(StoreDir() + "/absent.db", StoreAccess::ReadOnly);
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
}

TEST_F(PortableStore, OnlyTheFirstWriteMakesTheStoreFile) {
    const std::string path = StoreDir() + "/new.db";
    UseRegistryStore(path);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, 0x3F, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, 0x3F, &key), ERROR_SUCCESS) << "the roots always exist";
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "V"), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "looking leaves no file behind";

    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    UseRegistryStore(path);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    RegCloseKey(key);
}

TEST_F(PortableStore, ATransactionOnANewStoreMakesItsFile) {
    const std::string path = StoreDir() + "/new.db";
    UseRegistryStore(path);
    const LONG rc = RunInStoreTransaction([&] {
        HKEY key = nullptr;
        const LONG created =
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (created == ERROR_SUCCESS) RegCloseKey(key);
        return created;
    });
    EXPECT_EQ(rc, ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The writes of a hive import: only inside a transaction, two subkeys named alike are one key, and a
// rolled-back tree leaves nothing.
TEST_F(PortableStore, TreeWritesBelongToATransaction) {
    HKEY parent = Open();
    HKEY key = nullptr;
    EXPECT_EQ(StoreTreeCreateKey(parent, u"Tree", &key), ERROR_INVALID_PARAMETER);
    const std::u16string text = u"明治";
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    const auto size = static_cast<DWORD>(text.size() * 2);
    EXPECT_EQ(RunInStoreTransaction([&] {
                  if (StoreTreeCreateKey(parent, u"Gone", &key) == ERROR_SUCCESS) RegCloseKey(key);
                  return LONG{ERROR_CANTWRITE};
              }),
              ERROR_CANTWRITE);
    HKEY first = nullptr, second = nullptr;
    std::vector<std::u16string> names;
    BYTE dwords[17][4] = {};
    for (BYTE i = 0; i < 17; ++i) {
        names.push_back(u"v" + std::u16string(1, static_cast<char16_t>(u'a' + i)));
        dwords[i][0] = i;
    }
    names[3] = u"v3";
    names.pop_back();
    EXPECT_EQ(RunInStoreTransaction([&] {
                  LONG rc = StoreTreeCreateKey(parent, u"Tree", &first);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeCreateKey(parent, u"TREE", &second);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeSetValue(second, u"Ω", REG_SZ, bytes, size);
                  // More rows than one statement takes, one name twice within it: the later data win,
                  // the earlier spelling stays.
                  std::vector<StoreTreeValue> rows;
                  for (DWORD i = 0; i < 16; ++i) {
                      rows.push_back({i % 2 ? first : second, names[i], REG_DWORD, dwords[i], 4});
                      if (i == 8) rows.push_back({first, u"V3", REG_DWORD, dwords[16], 4});
                  }
                  if (rc == ERROR_SUCCESS) rc = StoreTreeSetValues(rows);
                  return rc;
              }),
              ERROR_SUCCESS);
    std::set<std::u16string> spelled;
    for (DWORD i = 0;; ++i) {
        char16_t name[16];
        DWORD cch = 16;
        if (RegEnumValueW(first, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        spelled.emplace(name, cch);
    }
    std::set<std::u16string> expected(names.begin(), names.end());
    expected.insert(u"Ω");
    EXPECT_EQ(spelled, expected);
    DWORD three = 0, cbThree = 4;
    EXPECT_EQ(RegQueryValueExW(first, u"v3", nullptr, nullptr, reinterpret_cast<BYTE*>(&three), &cbThree),
              ERROR_SUCCESS);
    EXPECT_EQ(three, 16u);
    std::u16string back(8, u'\0');
    DWORD type = 0, cb = static_cast<DWORD>(back.size() * 2);
    EXPECT_EQ(RegQueryValueExW(first, u"Ω", nullptr, &type, reinterpret_cast<BYTE*>(back.data()), &cb), ERROR_SUCCESS);
    EXPECT_EQ(back.substr(0, cb / 2), text);
    DWORD subkeys = 0;
    EXPECT_EQ(RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 1u);  // Tree; Gone went with its transaction
    for (HKEY h : {first, second, parent}) RegCloseKey(h);
}

// Keys written in batches: one named like a sibling made before it is that sibling, in the same batch
// or a later one, and so is its subkey of a name the sibling has; handles to them follow.
TEST_F(PortableStore, BatchedTreeWritesMergeKeysNamedAlike) {
    HKEY parent = Open();
    HKEY a = nullptr, b = nullptr, c = nullptr, d = nullptr;
    std::vector<HKEY> more(17);
    const BYTE one[4] = {1}, two[4] = {2};
    EXPECT_EQ(RunInStoreTransaction([&] {
                  StoreTreeUnchecked unchecked(parent);
                  LONG rc = StoreTreeCreateKey(parent, u"Tree", &a);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeCreateKey(a, u"Sub", &c);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeCreateKey(parent, u"TREE", &b);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeCreateKey(b, u"SUB", &d);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeSetValue(d, u"v", REG_DWORD, two, 4);
                  if (rc == ERROR_SUCCESS) rc = StoreTreeSetValue(c, u"w", REG_DWORD, one, 4);
                  for (size_t i = 0; i < more.size() && rc == ERROR_SUCCESS; ++i)
                      rc = StoreTreeCreateKey(parent, i == 16 ? u"kA" : u"K" + std::u16string(1, u'a' + i), &more[i]);
                  if (rc == ERROR_SUCCESS) rc = unchecked.Finish();
                  return rc;
              }),
              ERROR_SUCCESS);
    const auto counts = [](HKEY key) {
        DWORD subkeys = 0, values = 0;
        EXPECT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        return std::pair(subkeys, values);
    };
    EXPECT_EQ(counts(parent), std::pair(DWORD{17}, DWORD{0}));  // Tree, Ka to Kp; kA is Ka
    EXPECT_EQ(counts(b), std::pair(DWORD{1}, DWORD{0}));
    EXPECT_EQ(counts(d), std::pair(DWORD{0}, DWORD{2}));
    DWORD v = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(c, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    char16_t name[8];
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(b, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Sub");
    for (HKEY h : more) RegCloseKey(h);
    for (HKEY h : {a, b, c, d, parent}) RegCloseKey(h);
}

TEST_F(PortableStore, AWriterKilledMidTransactionLeavesTheStoreWhole) {
    Put("Before", REG_DWORD, Dword(1));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UseRegistryStore(StorePath());
        RunInStoreTransaction([&] {
            HKEY key = nullptr;
            RegCreateKeyExA(Root(), KeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
            const std::string big(100000, 'x');
            for (int i = 0; i < 20; ++i)
                RegSetValueExA(key, ("Half" + std::to_string(i)).c_str(), 0, REG_BINARY,
                               reinterpret_cast<const BYTE*>(big.data()), static_cast<DWORD>(big.size()));
            kill(getpid(), SIGKILL);  // the power goes before the commit
            return ERROR_SUCCESS;
        });
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    struct stat log {};
    ASSERT_EQ(stat((StorePath() + "-wal").c_str(), &log), 0);
    ASSERT_GT(log.st_size, 100000) << "the child died inside its transaction, some of its pages in the log";

    UseRegistryStore(StorePath());
    EXPECT_EQ(Get("Before"), (Stored{REG_DWORD, Dword(1)}));
    EXPECT_FALSE(Get("Half0").has_value()) << "none of the unfinished writes is kept";
    Put("After", REG_DWORD, Dword(2));
    EXPECT_EQ(Get("After"), (Stored{REG_DWORD, Dword(2)})) << "and the store takes new writes";
}

class DamagedStore : public PortableStore, public ::testing::WithParamInterface<std::string> {};

TEST_P(DamagedStore, CallsFailWithAnErrorCode) {
    const std::string path = StoreDir() + "/damaged.db";
    std::ofstream(path, std::ios::binary) << GetParam();
    for (StoreAccess access : {StoreAccess::AsPermitted, StoreAccess::ReadOnly}) {
        UseRegistryStore(path, access);
        HKEY key = reinterpret_cast<HKEY>(0x1);
        const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key);
        EXPECT_NE(rc, ERROR_SUCCESS);
        EXPECT_EQ(key, nullptr);
        QxRegistry reg;
        EXPECT_FALSE(reg.OpenKey("Software\\Microsoft\\Windows NT\\CurrentVersion", HKEY_LOCAL_MACHINE));
        EXPECT_FALSE(reg.CreateKey("Software\\X", HKEY_LOCAL_MACHINE));
    }
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), GetParam()) << "a damaged file is left as it was";
}

INSTANTIATE_TEST_SUITE_P(Files, DamagedStore,
                         ::testing::Values("this is not a database, just text\n"s,
                                           "SQLite format 3\0"s + std::string(4080, '\xAB')));

TEST_F(PortableStore, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4, kValues = 25;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            UseRegistryStore(StorePath());
            int failures = 0;
            for (int i = 0; i < kValues; ++i) {
                HKEY key = nullptr;
                const std::string path = KeyPath() + "\\Shared\\W" + std::to_string(w);
                if (RegCreateKeyExA(Root(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
                    ++failures;
                    continue;
                }
                const DWORD v = static_cast<DWORD>(w * 1000 + i);
                failures += RegSetValueExA(key, ("V" + std::to_string(i)).c_str(), 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&v), 4) != 0;
                RegCloseKey(key);
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    UseRegistryStore(StorePath());
    for (int w = 0; w < kWriters; ++w) {
        HKEY key = nullptr;
        const std::string path = KeyPath() + "\\Shared\\W" + std::to_string(w);
        ASSERT_EQ(RegOpenKeyExA(Root(), path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        for (int i = 0; i < kValues; ++i) {
            DWORD v = 0, size = 4, type = 0;
            ASSERT_EQ(RegQueryValueExA(key, ("V" + std::to_string(i)).c_str(), nullptr, &type,
                                       reinterpret_cast<BYTE*>(&v), &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(v, static_cast<DWORD>(w * 1000 + i));
        }
        RegCloseKey(key);
    }
}

TEST_F(PortableStore, LeadingBackslashIsRefusedAndTrailingOneAllowed) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(Root(), "\\Leading", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
    ASSERT_EQ(RegOpenKeyExA(Root(), (KeyPath() + "\\").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
