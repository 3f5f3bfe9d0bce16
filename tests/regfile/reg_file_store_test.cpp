// Importing into and exporting from a real store: all-or-nothing imports, and export then import
// giving back the same keys, types and bytes.
#include "reg_file.h"
#include "registry_store.h"
#include "registry_test.h"
#include "utf16.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

class RegFileStoreTest : public RegistryTest {
protected:
    std::string Full(const std::string& sub = "") const {
        return "HKEY_CURRENT_USER\\" + KeyPath() + (sub.empty() ? "" : "\\" + sub);
    }
    regfile::ApplyResult Import(const std::string& body) {
        return regfile::Apply(regfile::Parse("REGEDIT4\r\n\r\n" + body));
    }
    // Through the W functions: `sub` below the test key, opened from its parent one name at a time.
    void PutWide(const std::vector<std::u16string>& sub, const std::u16string& name, DWORD type,
                 std::string_view bytes) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(Root(), KeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        for (const auto& part : sub) {
            HKEY child = nullptr;
            ASSERT_EQ(RegCreateKeyExW(h, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(h);
            h = child;
        }
        ASSERT_EQ(RegSetValueExW(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    void PutAt(const std::string& sub, const std::string& name, DWORD type, std::string_view bytes) {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(Root(), (KeyPath() + "\\" + sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(h);
    }
    // Every key below the test key, by path, with its values in enumeration order.
    using Snapshot = std::map<std::string, std::vector<regfile::StoredValue>>;
    void Collect(const std::string& path, Snapshot& out) {
        HKEY h = nullptr;
        ASSERT_EQ(regfile::OpenPath(Root(), path, KEY_READ, h), ERROR_SUCCESS) << path;
        std::vector<std::string> children;
        EXPECT_EQ(regfile::ReadValues(h, out[path]), ERROR_SUCCESS);
        EXPECT_EQ(regfile::ReadSubKeyNames(h, children), ERROR_SUCCESS);
        RegCloseKey(h);
        for (const auto& c : children) Collect(path + "\\" + c, out);
    }
    Snapshot Take() {
        Snapshot s;
        Collect(KeyPath(), s);
        return s;
    }
    std::string ExportTestKey(regfile::Dialect dialect = regfile::Dialect::Version5) {
        std::string bytes, refusal;
        EXPECT_EQ(regfile::Export({Root(), KeyPath()}, bytes, &refusal, dialect), ERROR_SUCCESS) << refusal;
        return bytes;
    }
};

TEST_F(RegFileStoreTest, ImportWritesKeysValuesAndDeletions) {
    Put("old", REG_SZ, Sz("x"));
    PutAt("Doomed\\Deep", "v", REG_DWORD, Dword(1));
    const auto r = Import("[" + Full() +
                          "]\r\n\"old\"=-\r\n@=\"default\"\r\n\"n\"=dword:00000010\r\n"
                          "[-" +
                          Full("Doomed") +
                          "]\r\n"
                          "[" +
                          Full("New\\Key") + "]\r\n\"m\"=hex(7):61,00,00\r\n");
    ASSERT_EQ(r.code, ERROR_SUCCESS);
    EXPECT_FALSE(Get("old").has_value());
    EXPECT_EQ(Get(""), (Stored{REG_SZ, Sz("default")}));
    EXPECT_EQ(Get("n"), (Stored{REG_DWORD, Dword(16)}));
    const auto snap = Take();
    EXPECT_EQ(snap.count(KeyPath() + "\\Doomed"), 0u);
    ASSERT_EQ(snap.count(KeyPath() + "\\New\\Key"), 1u);
    EXPECT_EQ(snap.at(KeyPath() + "\\New\\Key"),
              (std::vector<regfile::StoredValue>{{"m", REG_MULTI_SZ, BytesFromUnits(u"a\0\0"s)}}));
}

TEST_F(RegFileStoreTest, DeletingWhatIsNotThereIsNoFault) {
    const auto r = Import("[-" + Full("Never") + "]\r\n[" + Full() + "]\r\n\"never\"=-\r\n");
    EXPECT_EQ(r.code, ERROR_SUCCESS);
}

TEST_F(RegFileStoreTest, AWriteThatFailsUndoesTheWholeFile) {
    Put("kept", REG_SZ, Sz("before"));
    // The reader refuses a key name part longer than the registry allows, so the entry is added
    // by hand: the store must refuse it after the entries before it were written.
    auto file = regfile::Parse("REGEDIT4\r\n\r\n[" + Full() +
                               "]\r\n\"kept\"=\"after\"\r\n\"added\"=dword:1\r\n"
                               "[" +
                               Full("Fine") + "]\r\n");
    file.keys.push_back({Root(), KeyPath() + "\\" + std::string(300, 'k'), false, {}, {7, 1}});
    const auto r = regfile::Apply(file);
    EXPECT_NE(r.code, ERROR_SUCCESS);
    EXPECT_EQ(r.where, (regfile::Position{7, 1}));
    EXPECT_EQ(Get("kept"), (Stored{REG_SZ, Sz("before")}));
    EXPECT_FALSE(Get("added").has_value());
    EXPECT_EQ(Take().count(KeyPath() + "\\Fine"), 0u);
}

TEST_F(RegFileStoreTest, ExportThenImportGivesTheSameStore) {
    Put("", REG_SZ, Sz("default"));
    Put("plain", REG_SZ, Sz("C:\\Program Files \"x\""));
    Put("caf\xe9 \x80", REG_SZ, Sz("\xe9t\xe9 \x80 \x81"));  // Windows-1252, undefined 0x81 too
    Put("two NULs", REG_SZ, "a\0b\0"s);
    Put("no NUL", REG_SZ, "abc"s);
    Put("empty sz", REG_SZ, ""s);
    Put("line\\break", REG_SZ, Sz("one\r\ntwo"));
    Put("expand", REG_EXPAND_SZ, Sz("%SystemRoot%\\x"));
    Put("multi", REG_MULTI_SZ, "one\0tw\xf6\0\0"s);
    Put("dword", REG_DWORD, Dword(0x80000001));
    Put("short dword", REG_DWORD, "\x01\x02"s);
    Put("qword", REG_QWORD, "\x01\x02\x03\x04\x05\x06\x07\x08"s);
    Put("binary", REG_BINARY, std::string(200, '\xab'));
    std::string large(100000, '\0');  // longer than the room a key's values are first read into
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 256);
    Put("large", REG_BINARY, large);
    Put("none", REG_NONE, ""s);
    Put("odd type", 0x12345, "\x00\xff"s);
    PutAt("Sub\\Deeper", "v", REG_DWORD, Dword(3));
    PutAt("sub2", "", REG_BINARY, ""s);
    // What a hive brings: text beyond the code page, names beyond the BMP, paths beyond 260.
    PutWide({u"Calendars"}, u"明治", REG_SZ, BytesFromUnits(u"明治_明_Meiji_M\0"s));
    PutWide({u"😀😁😂"}, u"😀", REG_MULTI_SZ, BytesFromUnits(u"a😀\0\0"s));
    PutWide({u"odd"}, u"lone\xD800", REG_EXPAND_SZ, BytesFromUnits(u"x\xDC00\0"s) + "!");
    PutWide({std::u16string(200, u'a'), std::u16string(200, u'b')}, u"deep", REG_SZ, BytesFromUnits(u"Ω\0"s));

    const Snapshot before = Take();
    const auto& top = before.at(KeyPath());
    EXPECT_TRUE(
        std::any_of(top.begin(), top.end(), [&](const auto& v) { return v.name == "large" && v.data == large; }));
    const std::string exported = ExportTestKey();
    ASSERT_EQ(RegDeleteTreeA(Root(), KeyPath().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(regfile::Apply(regfile::Parse(exported)).code, ERROR_SUCCESS);
    EXPECT_EQ(Take(), before);
    EXPECT_EQ(ExportTestKey(), exported) << "a second export gives the same bytes";
    EXPECT_NE(Utf16ToWtf8(UnitsFromBytes(exported)).find("[" + Full("😀😁😂") + "]\r\n\"😀\"=hex(7):"), std::string::npos);
    EXPECT_NE(Utf16ToWtf8(UnitsFromBytes(exported)).find("\"明治\"=\"明治_明_Meiji_M\""), std::string::npos);
}

// A REGEDIT4 file holds what Windows-1252 can; an export reads back as the same store.
TEST_F(RegFileStoreTest, Regedit4ExportThenImportGivesTheSameStore) {
    Put("caf\xe9 \x80", REG_SZ, Sz("\xe9t\xe9 \x80 \x81"));
    Put("multi", REG_MULTI_SZ, "one\0tw\xf6\0\0"s);
    Put("no NUL", REG_SZ, "abc"s);
    PutWide({u"Wide"}, u"Ω", REG_DWORD, Dword(1));  // a name the code page lacks, but only in the W store
    ASSERT_EQ(RegDeleteTreeW(Root(), (AnsiToUtf16(KeyPath()) + u"\\Wide").c_str()), ERROR_SUCCESS);
    PutWide({u"\u00C9t\u00E9"}, u"w", REG_EXPAND_SZ, BytesFromUnits(u"%\u20AC%\0"s));
    const Snapshot before = Take();
    const std::string exported = ExportTestKey(regfile::Dialect::Regedit4);
    EXPECT_EQ(exported.substr(0, 10), "REGEDIT4\r\n");
    EXPECT_NE(exported.find("[" + Full("\xC9t\xE9") + "]\r\n\"w\"=hex(2):25,80,25,00\r\n"), std::string::npos);
    ASSERT_EQ(RegDeleteTreeA(Root(), KeyPath().c_str()), ERROR_SUCCESS);
    ASSERT_EQ(regfile::Apply(regfile::Parse(exported)).code, ERROR_SUCCESS);
    EXPECT_EQ(Take(), before);
}

TEST_F(RegFileStoreTest, ExportWritesVersion5AsRegeditDoes) {
    Put("s", REG_SZ, Sz("text"));
    Put("d", REG_DWORD, Dword(10));
    Put("b", REG_BINARY, std::string(40, '\x01'));
    Put("m", REG_MULTI_SZ, "a\0\0"s);
    const std::string bytes = ExportTestKey();
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    bool ok = false;
    const std::string text = Utf16LeToText(bytes.substr(2), ok);
    ASSERT_TRUE(ok);
    auto repeat = [](const std::string& item, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += item;
        return out;
    };
    // Lines stop short of 80 columns: 23 bytes after the name, the other 17 on the next line.
    const std::string expected =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[" +
        Full() +
        "]\r\n"
        "\"b\"=hex:" +
        repeat("01,", 23) +
        "\\\r\n"
        "  " +
        repeat("01,", 16) +
        "01\r\n"
        "\"d\"=dword:0000000a\r\n"
        "\"m\"=hex(7):61,00,00,00,00,00\r\n"
        "\"s\"=\"text\"\r\n\r\n";
    EXPECT_EQ(text, expected);
}

TEST_F(RegFileStoreTest, ExportUsesTheStoredSpellingAndReportsMissingKeys) {
    PutAt("MixedCase", "v", REG_DWORD, Dword(1));
    std::string bytes;
    std::string shouted = KeyPath() + "\\MIXEDCASE";
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(regfile::Export({Root(), shouted}, bytes), ERROR_SUCCESS);
    bool ok = false;
    const std::string text = Utf16LeToText(bytes.substr(2), ok);
    EXPECT_NE(text.find("[" + Full("MixedCase") + "]"), std::string::npos) << text;
    EXPECT_EQ(regfile::Export({Root(), KeyPath() + "\\Missing"}, bytes), ERROR_FILE_NOT_FOUND);
}

// A tree of any size is exported a piece at a time: the pieces make the same file as the whole, none
// much larger than a piece unless one key's lines are, and a sink that fails ends the export.
TEST_F(RegFileStoreTest, ExportHandsTheFileOnInPieces) {
    constexpr int kKeys = 160;
    ASSERT_EQ(RunInStoreTransaction([&] {
                  for (int k = 0; k < kKeys; ++k)
                      PutAt("Many\\k" + std::to_string(k), "b", REG_BINARY, std::string(4096, char(k)));
                  PutAt("Many\\Huge", "b", REG_BINARY, std::string(regfile::kExportPiece * 3 / 2, 'h'));
                  return ERROR_SUCCESS;
              }),
              ERROR_SUCCESS);
    const struct {
        regfile::Dialect dialect;
        size_t hugeKeyBytes;  // what the key of the large value takes in the file, about
    } cases[] = {{regfile::Dialect::Version5, 9 * regfile::kExportPiece},  // 3 characters a byte, 2 bytes each
                 {regfile::Dialect::Regedit4, 9 * regfile::kExportPiece / 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dialect == regfile::Dialect::Version5 ? "version 5" : "REGEDIT4");
        std::string whole, joined, refusal;
        ASSERT_EQ(regfile::Export({Root(), KeyPath()}, whole, &refusal, c.dialect), ERROR_SUCCESS) << refusal;
        std::vector<size_t> sizes;
        ASSERT_EQ(regfile::Export(
                      {Root(), KeyPath()},
                      [&](std::string_view piece) { return joined.append(piece), sizes.push_back(piece.size()), true; },
                      &refusal, c.dialect),
                  ERROR_SUCCESS);
        EXPECT_EQ(joined, whole);
        EXPECT_GE(sizes.size(), (whole.size() - c.hugeKeyBytes) / regfile::kExportPiece / 2);
        size_t overPiece = 0;
        for (size_t size : sizes)
            if (size > regfile::kExportPiece + 64 * 1024) {
                ++overPiece;
                EXPECT_LE(size, c.hugeKeyBytes * 11 / 10);
            }
        EXPECT_LE(overPiece, 1u);  // the piece holding the key of the large value

        int calls = 0;
        EXPECT_EQ(regfile::Export(
                      {Root(), KeyPath()}, [&](std::string_view) { return ++calls < 2; }, &refusal, c.dialect),
                  regfile::kSinkFailed);
        EXPECT_EQ(calls, 2);
    }
}

// A name that no .reg file can hold is refused by name, never written in a form that does not import.
// A REGEDIT4 file cannot hold what Windows-1252 lacks.
TEST_F(RegFileStoreTest, ExportRefusesNamesWithLineBreaks) {
    struct Case {
        std::u16string sub, value;
        std::string data;
        std::string named;
        regfile::Dialect dialect = regfile::Dialect::Version5;
    };
    const auto v4 = regfile::Dialect::Regedit4;
    const std::vector<Case> cases{
        {u"Values", u"two\nlines", Sz("x"), "key " + Full("Values") + ", value \"two\\nlines\""},
        {u"Values2", u"cr\rhere", Sz("x"), "value \"cr\\rhere\""},
        {u"Broken\nKey", u"v", Sz("x"), "key " + Full("Broken\\nKey")},
        {u"Comment] ;x", u"v", Sz("x"), "key " + Full("Comment] ;x")},
        {u"Era", u"名", Sz("x"),
         "key " + Full("Era") + ", value \"名\": a name with characters that Windows-1252 lacks", v4},
        {u"Era", u"n", BytesFromUnits(u"明治_明_Meiji_M\0"s), "key " + Full("Era") + ", value \"n\": text with", v4},
        {u"Era", u"odd", std::string("a\0b", 3), "value \"odd\": string data that is not whole UTF-16", v4},
        {u"😀😁😂", u"v", Sz("x"), "key " + Full("😀😁😂") + ": a name with characters that Windows-1252 lacks", v4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.named);
        ASSERT_EQ(RegDeleteTreeA(Root(), KeyPath().c_str()), ERROR_SUCCESS);
        PutWide({c.sub}, c.value, REG_SZ, c.data);
        std::string bytes, refusal;
        EXPECT_EQ(regfile::Export({Root(), KeyPath()}, bytes, &refusal, c.dialect), regfile::kUnwritableName);
        EXPECT_NE(refusal.find(c.named), std::string::npos) << refusal;
    }
}

}  // namespace
