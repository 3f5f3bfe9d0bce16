// Faults the store once had with handles and trees: handles to keys deleted here, by another process
// or by a rollback; deleting a root's tree; keys nested too deep; deep trees deleted whole.
#include "store_faults.h"

using namespace std::string_literals;
using namespace store_test;

namespace {

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

// A key deleted in a transaction, before a nested one rolls back, is still the handle's key: it
// comes back if the outer one rolls back too, and is gone if it commits.
TEST_F(StoreFaults, AKeyDeletedBeforeANestedRollbackFollowsTheOuterTransaction) {
    for (const LONG outer : {ERROR_CANTWRITE, ERROR_SUCCESS}) {
        const std::string name = Sub(outer == ERROR_SUCCESS ? "Committed" : "RolledBack");
        HKEY a = Create(Root(), name);
        ASSERT_EQ(SetDword(a, "v", 7), ERROR_SUCCESS);
        EXPECT_EQ(RunInStoreTransaction([&] {
                      EXPECT_EQ(RegDeleteTreeA(Root(), name.c_str()), ERROR_SUCCESS);
                      EXPECT_EQ(RunInStoreTransaction([] { return ERROR_CANTWRITE; }), ERROR_CANTWRITE);
                      return outer;
                  }),
                  outer);
        if (outer == ERROR_SUCCESS) {
            ExpectDeleted(a);
        } else {
            DWORD value = 0;
            EXPECT_EQ(QueryDword(a, "v", value), ERROR_SUCCESS);
            EXPECT_EQ(value, 7u);
            HKEY sub = nullptr;
            EXPECT_EQ(RegOpenKeyExA(a, "missing", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
        }
        RegCloseKey(a);
    }
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

}  // namespace
