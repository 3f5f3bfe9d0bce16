// The registry functions themselves, as the registry class relies on them: run against Windows'
// registry (under Wine) and against the portable store, so that the two are held to one behaviour.
#include "registry_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

class RegistryApi : public RegistryTest {
protected:
    void TearDown() override {
        for (HKEY key : opened_) RegCloseKey(key);
        RegistryTest::TearDown();
    }
    // Opens (or with `create`, creates) a key below the test key; the result code and the handle.
    LONG Open(const std::string& subPath, REGSAM access, HKEY* key, bool create = false) {
        *key = nullptr;
        const std::string path = KeyPath() + subPath;
        const LONG rc = create ? RegCreateKeyExA(Root(), path.c_str(), 0, nullptr, 0, access, nullptr, key, nullptr)
                               : RegOpenKeyExA(Root(), path.c_str(), 0, access, key);
        if (rc == ERROR_SUCCESS) opened_.push_back(*key);
        return rc;
    }
    HKEY OpenOrFail(REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(Open("", access, &key), ERROR_SUCCESS);
        return key;
    }
    static LONG Set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }

private:
    std::vector<HKEY> opened_;
};

TEST_F(RegistryApi, KeyPathForms) {
    HKEY key = nullptr;
    EXPECT_EQ(Open("\\", KEY_READ, &key), ERROR_SUCCESS) << "a trailing backslash is allowed";
    EXPECT_EQ(Open("\\Sub\\", KEY_ALL_ACCESS, &key, true), ERROR_SUCCESS);
    EXPECT_EQ(Open("\\SUB", KEY_READ, &key), ERROR_SUCCESS) << "names ignore case";
    EXPECT_EQ(Open("\\Missing", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr) << "a failed open leaves no handle";

    const std::string leading = "\\" + KeyPath();
    EXPECT_NE(RegOpenKeyExA(Root(), leading.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS)
        << "a path that starts with a backslash is not relative to the root";
}

TEST_F(RegistryApi, RunsOfBackslashesSeparateLikeOne) {
    HKEY key = nullptr;
    ASSERT_EQ(Open("\\A\\\\B\\\\", KEY_ALL_ACCESS, &key, true), ERROR_SUCCESS);
    EXPECT_EQ(Set(key, "V", REG_SZ, "x\0"s), ERROR_SUCCESS);
    HKEY plain = nullptr;
    ASSERT_EQ(Open("\\A\\B", KEY_READ, &plain), ERROR_SUCCESS) << "the same key A\\B";
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(plain, "V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
}

TEST_F(RegistryApi, LengthLimitsOfNames) {
    HKEY test = OpenOrFail(KEY_ALL_ACCESS);
    HKEY key = nullptr;
    // Relative to the test key, so that only the name counts towards the path length.
    EXPECT_EQ(
        RegCreateKeyExA(test, std::string(255, 'k').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(
        RegCreateKeyExA(test, std::string(257, 'k').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_INVALID_PARAMETER)
        << "a key name longer than the registry allows";
    // The ANSI functions take at most MAX_PATH characters of path, whatever its parts.
    const std::string longPath =
        KeyPath() + "\\" + std::string(100, 'a') + "\\" + std::string(260 - KeyPath().size() - 102, 'b');
    ASSERT_EQ(longPath.size(), 260u);
    EXPECT_EQ(RegCreateKeyExA(Root(), longPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(Root(), (longPath + "c").c_str(), 0, KEY_READ, &key), ERROR_MORE_DATA);

    EXPECT_EQ(Set(test, std::string(16383, 'v').c_str(), REG_SZ, "x\0"s), ERROR_SUCCESS);
    EXPECT_EQ(Set(test, std::string(16384, 'v').c_str(), REG_SZ, "x\0"s), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, OpeningTheEmptyPathGivesAnotherHandleToTheSameKey) {
    HKEY key = OpenOrFail(KEY_ALL_ACCESS);
    HKEY same = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, "", 0, KEY_ALL_ACCESS, &same), ERROR_SUCCESS);
    EXPECT_EQ(Set(same, "V", REG_SZ, "x\0"s), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
    EXPECT_EQ(Get("V"), (Stored{REG_SZ, "x\0"s}));
    EXPECT_EQ(Set(key, "W", REG_SZ, "y\0"s), ERROR_SUCCESS) << "the first handle is still open";
}

TEST_F(RegistryApi, CreateReportsWhetherTheKeyIsNew) {
    const std::string path = KeyPath() + "\\Made";
    DWORD disposition = 0;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(Root(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(Root(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
}

TEST_F(RegistryApi, HandlesCloseOnce) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(Root(), KeyPath().c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApi, AccessIsCheckedAgainstTheRightsTheKeyWasOpenedWith) {
    Put("V", REG_SZ, Sz("x"));
    HKEY reader = OpenOrFail(KEY_QUERY_VALUE);
    EXPECT_EQ(Set(reader, "V", REG_SZ, "y\0"s), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "V"), ERROR_ACCESS_DENIED);
    HKEY writer = OpenOrFail(KEY_SET_VALUE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer, "V", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get("V"), (Stored{REG_SZ, "x\0"s})) << "nothing was written";
}

TEST_F(RegistryApi, QuerySizesAndShortBuffers) {
    Put("V", REG_SZ, Sz("abc"));
    HKEY key = OpenOrFail(KEY_READ);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);

    BYTE small[2] = {'#', '#'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u) << "the size needed";

    BYTE exact[4] = {};
    size = sizeof exact;
    ASSERT_EQ(RegQueryValueExA(key, "V", nullptr, &type, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(exact), size), "abc\0"s);

    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryApi, ValueDataKeptAsGiven) {
    HKEY key = OpenOrFail(KEY_ALL_ACCESS);
    EXPECT_EQ(Set(key, "Empty", REG_BINARY, ""), ERROR_SUCCESS);
    EXPECT_EQ(Get("Empty"), (Stored{REG_BINARY, ""}));
    EXPECT_EQ(Set(key, "Bytes", REG_BINARY, "\0\xFF\x01"s), ERROR_SUCCESS);
    EXPECT_EQ(Get("Bytes"), (Stored{REG_BINARY, "\0\xFF\x01"s}));
    EXPECT_EQ(Set(key, "Number", REG_DWORD, Dword(0xDEADBEEF)), ERROR_SUCCESS);
    EXPECT_EQ(Get("Number"), (Stored{REG_DWORD, Dword(0xDEADBEEF)}));
    EXPECT_EQ(Set(key, "Number", REG_SZ, "now text\0"s), ERROR_SUCCESS) << "a value may change its type";
    EXPECT_EQ(Get("Number"), (Stored{REG_SZ, "now text\0"s}));
}

TEST_F(RegistryApi, TheUnnamedValue) {
    HKEY key = OpenOrFail(KEY_ALL_ACCESS);
    EXPECT_EQ(Set(key, nullptr, REG_SZ, "default\0"s), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS)
        << "no name and the empty name are the same value";
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(RegDeleteValueA(key, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryApi, ValueNamesIgnoreCaseAndKeepTheirSpelling) {
    HKEY key = OpenOrFail(KEY_ALL_ACCESS);
    EXPECT_EQ(Set(key, "MixedCase", REG_SZ, "1\0"s), ERROR_SUCCESS);
    EXPECT_EQ(Set(key, "MIXEDCASE", REG_SZ, "2\0"s), ERROR_SUCCESS) << "the same value again";
    EXPECT_EQ(Get("mixedcase"), (Stored{REG_SZ, "2\0"s}));
    EXPECT_EQ(RegDeleteValueA(key, "mixedCASE"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "MixedCase"), ERROR_FILE_NOT_FOUND) << "deleted, and only once";
}

TEST_F(RegistryApi, NonAsciiNamesIgnoreCase) {
    HKEY key = nullptr;
    ASSERT_EQ(Open("\\Caf\xE9", KEY_ALL_ACCESS, &key, true), ERROR_SUCCESS);  // Windows-1252 "Café"
    EXPECT_EQ(Set(key, "\xE9t\xE9", REG_SZ, "summer\0"s), ERROR_SUCCESS);     // "été"
    HKEY shouted = nullptr;
    ASSERT_EQ(Open("\\CAF\xC9", KEY_READ, &shouted), ERROR_SUCCESS);  // "CAFÉ"
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(shouted, "\xC9T\xC9", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);  // "ÉTÉ"
    EXPECT_EQ(size, 7u);
}

// Windows keeps names and strings in UTF-16: an A function reads them in Windows-1252, one byte for
// each UTF-16 unit, a best-fit look-alike or "?" for what the code page lacks; a W function reads
// what an A function wrote as UTF-16.
TEST_F(RegistryApi, AnsiAndUnicodeSidesConvertAsWindowsDoes) {
    const auto w = [](const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); };
    const auto bytes = [](std::u16string_view u) {
        return std::string(reinterpret_cast<const char*>(u.data()), u.size() * 2);
    };
    struct Case {
        std::u16string name;
        DWORD type;
        std::string given, ansi;
    };
    const std::vector<Case> cases{
        {u"era", REG_SZ, bytes(u"明治_明_Meiji_M\0"s), "??_?_Meiji_M\0"s},
        {u"pair", REG_EXPAND_SZ, bytes(u"😀€Āβ\0"s),
         "??\x80"
         "A\xDF\0"s},
        {u"fits", REG_SZ, bytes(u"café €\0"s), "caf\xE9 \x80\0"s},
        {u"odd", REG_MULTI_SZ,
         bytes(u"a\xD800"
               u"b\0"s) +
             "x",
         "a?b\0"s},
        {u"link", 6 /* REG_LINK */, bytes(u"明"), bytes(u"明")},
        {u"binary", REG_BINARY, "\xFF\0\1"s, "\xFF\0\1"s},
    };
    HKEY key = OpenOrFail(KEY_ALL_ACCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        ASSERT_EQ(RegSetValueExW(key, w(c.name), 0, c.type, reinterpret_cast<const BYTE*>(c.given.data()),
                                 static_cast<DWORD>(c.given.size())),
                  ERROR_SUCCESS);
        const std::string ansiName(c.name.begin(), c.name.end());
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueExA(key, ansiName.c_str(), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, c.ansi.size());
        std::string data(64, '\0');
        size = static_cast<DWORD>(c.ansi.size() - 1);
        EXPECT_EQ(
            RegQueryValueExA(key, ansiName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
            ERROR_MORE_DATA);
        EXPECT_EQ(size, c.ansi.size());
        size = static_cast<DWORD>(data.size());
        ASSERT_EQ(
            RegQueryValueExA(key, ansiName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
            ERROR_SUCCESS);
        EXPECT_EQ(data.substr(0, size), c.ansi);
        size = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegQueryValueExW(key, w(c.name), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(data.substr(0, size), c.given) << "the W side gets the bytes as given";
        char name[8];
        DWORD cch = sizeof name;
        size = static_cast<DWORD>(data.size());
        ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(data.substr(0, size), c.ansi) << "enumeration converts as a query does";
        ASSERT_EQ(RegDeleteValueW(key, w(c.name)), ERROR_SUCCESS);
    }
    ASSERT_EQ(Set(key, "ansi", REG_SZ, "caf\xE9 \x80\0"s), ERROR_SUCCESS);
    std::string data(32, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    ASSERT_EQ(RegQueryValueExW(key, w(u"ANSI"), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(data.substr(0, size), bytes(u"café €\0"s));
    DWORD maxA = 0, maxW = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxA,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxW,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_GE(maxA, 7u);
    EXPECT_EQ(maxW, 14u) << "ANSI text counts two bytes a character on the W side";

    // A key named with three characters beyond the BMP: six units, six "?".
    HKEY emoji = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, w(u"😀😁😂"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &emoji, nullptr), ERROR_SUCCESS);
    RegCloseKey(emoji);
    char name[16];
    DWORD cch = 6;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::string(name, cch), "??????");
    DWORD maxSubKey = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxSubKey, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(maxSubKey, 6u);
}

}  // namespace
