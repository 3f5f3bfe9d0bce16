// The portable store's enumeration, key deletion and multi-call transactions, with the result codes
// Windows gives for the same calls.
#include "registry_store.h"
#include "registry_test.h"
#include "utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

class StoreTest : public RegistryTest {
protected:
    HKEY Create(const std::string& sub, REGSAM access = KEY_ALL_ACCESS) {
        HKEY h = nullptr;
        EXPECT_EQ(RegCreateKeyExA(Root(), (KeyPath() + (sub.empty() ? "" : "\\" + sub)).c_str(), 0, nullptr, 0, access,
                                  nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        handles_.push_back(h);
        return h;
    }
    HKEY Open(const std::string& sub, REGSAM access) {
        HKEY h = nullptr;
        const LONG rc = RegOpenKeyExA(Root(), (KeyPath() + (sub.empty() ? "" : "\\" + sub)).c_str(), 0, access, &h);
        if (rc != ERROR_SUCCESS) return nullptr;
        handles_.push_back(h);
        return h;
    }
    bool Exists(const std::string& sub) {
        HKEY h = nullptr;
        if (RegOpenKeyExA(Root(), (KeyPath() + "\\" + sub).c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
        RegCloseKey(h);
        return true;
    }
    std::vector<std::string> SubKeys(HKEY h) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD cch = sizeof name;
            const LONG rc = RegEnumKeyExA(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(rc, ERROR_SUCCESS);
            if (rc != ERROR_SUCCESS) break;
            names.emplace_back(name, cch);
        }
        return names;
    }
    void TearDown() override {
        for (HKEY h : handles_) RegCloseKey(h);
        RegistryTest::TearDown();
    }

private:
    std::vector<HKEY> handles_;
};

TEST_F(StoreTest, SubKeysComeInNameOrderWithoutRegardToCase) {
    for (const char* name : {"beta", "Alpha", "GAMMA", "alpha2", "Delta"}) Create(name);
    Create("beta\\Nested");  // grandchildren are not listed
    EXPECT_EQ(SubKeys(Create("")), (std::vector<std::string>{"Alpha", "alpha2", "beta", "Delta", "GAMMA"}));
}

TEST_F(StoreTest, SubKeyEnumerationCodes) {
    Create("Child");
    HKEY key = Create("");
    char name[16];
    DWORD cch = 5;  // "Child" needs 6 with its NUL
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 6;
    FILETIME written{1, 1};
    char cls[4] = "xyz";
    DWORD cchClass = sizeof cls;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, cls, &cchClass, &written), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "Child");
    EXPECT_EQ(cch, 5u) << "the length comes back without the NUL";
    EXPECT_EQ(std::string(cls), "");
    cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(reinterpret_cast<HKEY>(0x999), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    HKEY valuesOnly = Open("", KEY_QUERY_VALUE);
    ASSERT_NE(valuesOnly, nullptr);
    EXPECT_EQ(RegEnumKeyExA(valuesOnly, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
}

TEST_F(StoreTest, ValuesComeInNameOrderWithTheirTypesAndData) {
    Put("b", REG_DWORD, Dword(7));
    Put("", REG_SZ, Sz("default"));
    Put("A", REG_BINARY, "\x01\x00\x02"s);
    HKEY key = Open("", KEY_READ);
    ASSERT_NE(key, nullptr);
    struct Seen {
        std::string name;
        DWORD type;
        std::string data;
    };
    std::vector<Seen> seen;
    for (DWORD i = 0;; ++i) {
        char name[32];
        BYTE data[32];
        DWORD cch = sizeof name, cb = sizeof data, type = 0;
        const LONG rc = RegEnumValueA(key, i, name, &cch, nullptr, &type, data, &cb);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        seen.push_back({std::string(name, cch), type, std::string(reinterpret_cast<char*>(data), cb)});
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].name, "");  // the default value's empty name sorts first
    EXPECT_EQ(seen[0].data, Sz("default"));
    EXPECT_EQ(seen[1].name, "A");
    EXPECT_EQ(seen[1].type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(seen[1].data, "\x01\x00\x02"s);
    EXPECT_EQ(seen[2].name, "b");
    EXPECT_EQ(seen[2].data, Dword(7));
}

// Listing by index reads ahead, but never past a write made between two calls.
TEST_F(StoreTest, EnumerationByIndexSeesWritesBetweenCalls) {
    for (const bool inTransaction : {false, true}) {
        HKEY key = Create(inTransaction ? "InTransaction" : "Outside");
        for (const char* name : {"a", "b", "c"})
            ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_SUCCESS);
        const auto steps = [&]() -> LONG {
            char name[8];
            DWORD cch = sizeof name;
            EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
            EXPECT_STREQ(name, "a");
            EXPECT_EQ(RegDeleteValueA(key, "a"), ERROR_SUCCESS);
            cch = sizeof name;
            EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
            EXPECT_STREQ(name, "b") << (inTransaction ? "inside" : "outside") << " a transaction";
            cch = sizeof name;
            EXPECT_EQ(RegEnumValueA(key, 2, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
            return ERROR_SUCCESS;
        };
        EXPECT_EQ(inTransaction ? RunInStoreTransaction(steps) : steps(), ERROR_SUCCESS);
    }
}

// What a rolled-back transaction wrote is not listed afterwards, even when it was listed inside.
TEST_F(StoreTest, EnumerationAfterARollbackListsNothingOfIt) {
    UseRegistryStore(StoreDir() + "/fresh.db");  // a root of a new store: nothing else to list
    HKEY key = HKEY_CURRENT_USER;
    const auto first = [&](bool values) {
        char name[8];
        DWORD cch = sizeof name;
        const LONG rc = values ? RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr)
                               : RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr);
        return rc == ERROR_SUCCESS ? std::string(name) : std::to_string(rc);
    };
    EXPECT_EQ(RunInStoreTransaction([&]() -> LONG {
                  HKEY sub = nullptr;
                  RegCreateKeyExA(key, "a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
                  RegCloseKey(sub);
                  RegSetValueExA(key, "a", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
                  EXPECT_EQ(first(false), "a");
                  EXPECT_EQ(first(true), "a");
                  return ERROR_CANTWRITE;
              }),
              ERROR_CANTWRITE);
    EXPECT_EQ(first(false), "259");
    EXPECT_EQ(first(true), "259");
}

TEST_F(StoreTest, ValueEnumerationCodes) {
    Put("Name", REG_SZ, Sz("longer text"));
    HKEY key = Open("", KEY_READ);
    ASSERT_NE(key, nullptr);
    char name[8];
    BYTE data[4];
    DWORD cch = 4, cb = sizeof data, type = 0;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_MORE_DATA);
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 12u) << "the size needed comes back";
    cch = sizeof name;
    cb = 0;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 12u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    cch = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    HKEY enumOnly = Open("", KEY_ENUMERATE_SUB_KEYS);
    ASSERT_NE(enumOnly, nullptr);
    EXPECT_EQ(RegEnumValueA(enumOnly, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
}

TEST_F(StoreTest, QueryInfoCountsAndLongestNamesAndData) {
    Create("Short");
    Create("A Longer Name");
    Put("v", REG_BINARY, std::string(40, 'x'));
    Put("a longer value", REG_DWORD, Dword(1));
    DWORD subKeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(Create(""), nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &values, &maxName,
                               &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 13u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 14u);
    EXPECT_EQ(maxData, 40u);
}

TEST_F(StoreTest, DeleteKeyRefusesKeysWithSubKeysAsWindowsDoes) {
    Create("Parent\\Child");
    HKEY key = Create("");
    EXPECT_EQ(RegDeleteKeyA(key, "Parent"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists("Parent\\Child"));
    EXPECT_EQ(RegDeleteKeyA(key, "parent\\CHILD"), ERROR_SUCCESS) << "names match without regard to case";
    EXPECT_FALSE(Exists("Parent\\Child"));
    EXPECT_EQ(RegDeleteKeyA(key, "Parent"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, "Parent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(key, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED) << "a root stays";
}

TEST_F(StoreTest, HandlesToADeletedKeyReportItDeleted) {
    HKEY leaf = Create("Leaf");
    Put("x", REG_SZ, Sz("y"));
    ASSERT_EQ(RegDeleteKeyA(Create(""), "Leaf"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(leaf, "x", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST_F(StoreTest, DeleteTreeTakesEverythingBelow) {
    Create("Tree\\A\\Deep");
    Create("Tree\\B");
    HKEY tree = Create("Tree");
    ASSERT_EQ(RegSetValueExA(tree, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4), ERROR_SUCCESS);
    HKEY key = Create("");
    EXPECT_EQ(RegDeleteTreeA(key, "TREE"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists("Tree"));
    EXPECT_FALSE(Exists("Tree\\A\\Deep"));
    EXPECT_EQ(RegDeleteTreeA(key, "Tree"), ERROR_FILE_NOT_FOUND);
}

TEST_F(StoreTest, DeleteTreeWithoutASubKeyEmptiesTheKeyButKeepsIt) {
    Create("Sub\\Deeper");
    Put("v", REG_SZ, Sz("x"));
    HKEY key = Create("");
    ASSERT_EQ(RegDeleteTreeA(key, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(key).empty());
    EXPECT_FALSE(Get("v").has_value());
    HKEY again = Open("", KEY_READ);
    EXPECT_NE(again, nullptr) << "the key itself remains";
    HKEY readOnly = Open("", KEY_READ);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(RegDeleteTreeA(readOnly, nullptr), ERROR_ACCESS_DENIED) << "deleting values needs KEY_SET_VALUE";
}

TEST_F(StoreTest, TransactionKeepsAllWritesOrNone) {
    const LONG failed = RunInStoreTransaction([&]() -> LONG {
        Put("first", REG_SZ, Sz("1"));
        Create("MadeInside");
        return ERROR_FILE_NOT_FOUND;
    });
    EXPECT_EQ(failed, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Get("first").has_value());
    EXPECT_FALSE(Exists("MadeInside"));

    const LONG kept = RunInStoreTransaction([&]() -> LONG {
        Put("first", REG_SZ, Sz("1"));
        Create("MadeInside");
        return ERROR_SUCCESS;
    });
    EXPECT_EQ(kept, ERROR_SUCCESS);
    EXPECT_EQ(Get("first"), (Stored{REG_SZ, Sz("1")}));
    EXPECT_TRUE(Exists("MadeInside"));
}

TEST_F(StoreTest, NestedTransactionFailureUndoesOnlyItsOwnWrites) {
    const LONG rc = RunInStoreTransaction([&]() -> LONG {
        Put("outer", REG_SZ, Sz("kept"));
        EXPECT_EQ(RunInStoreTransaction([&]() -> LONG {
                      Put("inner", REG_SZ, Sz("undone"));
                      return ERROR_ACCESS_DENIED;
                  }),
                  ERROR_ACCESS_DENIED);
        return ERROR_SUCCESS;
    });
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_TRUE(Get("outer").has_value());
    EXPECT_FALSE(Get("inner").has_value());
}

TEST_F(StoreTest, TransactionOnAReadOnlyStoreIsRefused) {
    UseRegistryStore(StorePath(), StoreAccess::ReadOnly);
    bool ran = false;
    EXPECT_EQ(RunInStoreTransaction([&]() -> LONG {
                  ran = true;
                  return ERROR_SUCCESS;
              }),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ran);
    HKEY key = Open("", KEY_READ);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, KeyPath().c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, KeyPath().c_str()), ERROR_ACCESS_DENIED);
}

// Names keep every UTF-16 unit, pairs and lone surrogates included; they are found without regard
// to case in any script, and a name made through an A function is found through a W one.
TEST_F(StoreTest, UnicodeNamesStayWholeAndAreFoundWithoutRegardToCase) {
    struct NameCase {
        std::u16string made, found;
        std::string ansi;  // as RegEnumKeyExA spells it
    };
    const NameCase cases[] = {
        {u"😀😁😂", u"😀😁😂", "??????"},
        {u"Σοφία", u"ΣΟΦΊΑ", "S?f?a"},
        {u"lone\xDC00", u"LONE\xDC00", "lone?"},
        {u"café", u"CAFÉ", "caf\xE9"},
    };
    HKEY key = Create("");
    for (const auto& c : cases) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, c.made.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(h);
        ASSERT_EQ(RegOpenKeyExW(key, c.found.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS) << c.ansi;
        RegCloseKey(h);
        ASSERT_EQ(RegSetValueExW(key, c.made.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExW(key, c.found.c_str(), nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    }
    HKEY ansiMade = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "\xC9t\xE9", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &ansiMade, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(ansiMade);
    ASSERT_EQ(RegOpenKeyExW(key, u"été", 0, KEY_READ, &ansiMade), ERROR_SUCCESS);
    RegCloseKey(ansiMade);
    EXPECT_EQ(RegCreateKeyExW(key, u"😀😁😂\\ÉTÉ", 0, nullptr, 0, KEY_READ, nullptr, &ansiMade, nullptr), ERROR_SUCCESS);
    RegCloseKey(ansiMade);

    std::vector<std::u16string> wide;
    for (DWORD i = 0;; ++i) {
        char16_t name[16];
        DWORD cch = 16;
        const LONG rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        wide.emplace_back(name, cch);
    }
    EXPECT_EQ(wide, (std::vector<std::u16string>{u"café", u"lone\xDC00", u"Été", u"Σοφία", u"😀😁😂"}));
    EXPECT_EQ(SubKeys(key), (std::vector<std::string>{"caf\xE9", "lone?", "\xC9t\xE9", "S?f?a", "??????"}));
    DWORD maxSub = 0, maxValueName = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, nullptr, &maxValueName,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(maxSub, 6u) << "three emoji are six UTF-16 units";
    EXPECT_EQ(maxValueName, 6u);
    char small[6];
    DWORD cch = sizeof small;
    EXPECT_EQ(RegEnumKeyExA(key, 4, small, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    // A key name holds at most 255 UTF-16 units: 127 emoji fit, 128 do not.
    std::u16string emoji;
    for (int i = 0; i < 127; ++i) emoji += u"😀";
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExW(key, emoji.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegCreateKeyExW(key, (emoji + u"😀").c_str(), 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr),
              ERROR_INVALID_PARAMETER);
}

// Windows limits each key name, not the path: a key deeper than 260 characters is reached from a
// handle to its parent, through either side, and a whole path through a W function.
TEST_F(StoreTest, KeysBeyond260CharactersAreReachedFromTheirParent) {
    const std::string part(200, 'k');
    HKEY a = Create(part);
    HKEY deep = nullptr;
    ASSERT_EQ(RegCreateKeyExA(a, (part + "\\" + part).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deep, nullptr),
              ERROR_MORE_DATA)
        << "a whole ANSI path keeps the 260-character limit";
    HKEY b = nullptr;
    ASSERT_EQ(RegCreateKeyExA(a, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &b, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(b, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deep, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(deep, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\7\0\0\0"), 4), ERROR_SUCCESS);
    RegCloseKey(deep);
    RegCloseKey(b);
    const std::u16string wpart(200, u'k');
    const std::string prefix = KeyPath() + "\\";
    const std::u16string whole = AnsiToUtf16(prefix) + wpart + u"\\" + wpart + u"\\" + wpart;
    ASSERT_EQ(RegOpenKeyExW(Root(), whole.c_str(), 0, KEY_READ, &deep), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(deep, u"v", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(deep);
    EXPECT_EQ(RegDeleteTreeW(Root(), (AnsiToUtf16(prefix) + wpart + u"\\" + wpart).c_str()), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(a), std::vector<std::string>{});
}

}  // namespace
