// Reading .reg files: each construct of both dialects, and the faults that must stop an import.
#include "reg_file.h"
#include "utf16.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;
using regfile::Dialect;
using regfile::Parse;
using regfile::ParseError;

namespace {

std::string V4(const std::string& body) {
    return "REGEDIT4\r\n\r\n" + body;
}
// A version 5 file as regedit writes it: UTF-16LE with its byte-order mark.
std::string V5(const std::string& body) {
    return "\xFF\xFE"s + TextToUtf16Le("Windows Registry Editor Version 5.00\r\n\r\n" + body);
}

const regfile::ValueEntry& OnlyValue(const regfile::RegFile& f) {
    EXPECT_EQ(f.keys.size(), 1u);
    EXPECT_EQ(f.keys.at(0).values.size(), 1u);
    return f.keys.at(0).values.at(0);
}

TEST(RegFileHeader, EachDialectIsRecognised) {
    EXPECT_EQ(Parse(V4("")).dialect, Dialect::Regedit4);
    EXPECT_EQ(Parse(V5("")).dialect, Dialect::Version5);
    // Hand-written version 5 files in UTF-8, with or without an editor's BOM, read the same.
    EXPECT_EQ(Parse("Windows Registry Editor Version 5.00\n").dialect, Dialect::Version5);
    EXPECT_EQ(Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n").dialect, Dialect::Version5);
}

TEST(RegFileHeader, LfAndCrlfGiveTheSameEntries) {
    const std::string body = "[HKEY_CURRENT_USER\\A]\n\"x\"=hex:01,\\\n  02\n@=\"d\"\n";
    const auto lf = Parse(V4(body));
    ASSERT_EQ(lf.keys.size(), 1u);
    ASSERT_EQ(lf.keys[0].values.size(), 2u);
    // CRLF, and CRCRLF as a CRLF file saved again in text mode has it.
    for (const std::string end : {"\r\n", "\r\r\n"}) {
        std::string other;
        for (char c : body) other += c == '\n' ? end : std::string(1, c);
        const auto cr = Parse(V4(other));
        ASSERT_EQ(cr.keys.size(), 1u);
        ASSERT_EQ(cr.keys[0].values.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(lf.keys[0].values[i].data, cr.keys[0].values[i].data);
            EXPECT_EQ(lf.keys[0].values[i].where, cr.keys[0].values[i].where);
        }
    }
}

TEST(RegFileKeys, RootsByFullAndShortNameAndPathsBelowThem) {
    struct Case {
        std::string line;
        HKEY root;
        std::string path;
        bool removeTree;
    };
    const std::vector<Case> cases{
        {"[HKEY_LOCAL_MACHINE\\Software\\Microsoft]", HKEY_LOCAL_MACHINE, "Software\\Microsoft", false},
        {"[hkey_current_user\\A B\\C]", HKEY_CURRENT_USER, "A B\\C", false},
        {"[HKCR\\.txt]", HKEY_CLASSES_ROOT, ".txt", false},
        {"[HKU\\S-1-5-18]", HKEY_USERS, "S-1-5-18", false},
        {"[HKCC\\System]   ", HKEY_CURRENT_CONFIG, "System", false},
        {"[HKEY_LOCAL_MACHINE]", HKEY_LOCAL_MACHINE, "", false},
        {"[-HKEY_CURRENT_USER\\Gone\\Too]", HKEY_CURRENT_USER, "Gone\\Too", true},
        {"[HKCU\\Odd]Name]", HKEY_CURRENT_USER, "Odd]Name", false},  // the last ']' closes the name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto f = Parse(V4(c.line + "\r\n"));
        ASSERT_EQ(f.keys.size(), 1u);
        EXPECT_EQ(f.keys[0].root, c.root);
        EXPECT_EQ(f.keys[0].path, c.path);
        EXPECT_EQ(f.keys[0].removeTree, c.removeTree);
        EXPECT_EQ(f.keys[0].where, (regfile::Position{3, 1}));
    }
}

TEST(RegFileValues, NamesAndStrings) {
    struct Case {
        std::string line;
        std::string name;
        std::string data;
    };
    const std::vector<Case> cases{
        {"@=\"default\"", "", "default\0"s},
        {"\"Name\"=\"text\"", "Name", "text\0"s},
        {"\"a\\\\b\"=\"C:\\\\Windows\"", "a\\b", "C:\\Windows\0"s},
        {"\"say \\\"hi\\\"\"=\"\\\"quoted\\\"\"", "say \"hi\"", "\"quoted\"\0"s},
        {"\"empty\"=\"\"", "empty", "\0"s},
        {"\"semi;colon\"=\"a;b\" ; comment after the value", "semi;colon", "a;b\0"s},
        {"  \"spaced\" = \"x\"", "spaced", "x\0"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto f = Parse(V4("[HKCU\\K]\r\n" + c.line + "\r\n"));
        const auto& v = OnlyValue(f);
        EXPECT_EQ(v.name, c.name);
        EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(v.data, c.data);
        EXPECT_FALSE(v.remove);
    }
}

// Names are text in both dialects; string data are ANSI from a REGEDIT4 file, and UTF-16 from a
// version 5 one, whatever the characters (a lone surrogate of a UTF-16 file included).
TEST(RegFileValues, TextIsAnsiInRegedit4AndWholeUtf16InVersion5) {
    const auto v4 = Parse(V4("[HKCU\\K]\r\n\"Caf\xE9\"=\"\x80\"\r\n"));
    EXPECT_EQ(OnlyValue(v4).name, "Café");
    EXPECT_EQ(OnlyValue(v4).data, "\x80\0"s);
    const auto v5 = Parse(V5("[HKCU\\明治]\r\n\"Caf\u00E9 😀\"=\"明治_明_Meiji_M\"\r\n"));
    EXPECT_EQ(v5.keys.at(0).path, "明治");
    EXPECT_EQ(OnlyValue(v5).name, "Café 😀");
    EXPECT_EQ(OnlyValue(v5).data, BytesFromUnits(u"明治_明_Meiji_M\0"s));
    const std::string lone =
        "\xFF\xFE"s + BytesFromUnits(u"Windows Registry Editor Version 5.00\r\n[HKCU\\a\xD800]\r\n");
    EXPECT_EQ(Parse(lone).keys.at(0).path, Utf16ToWtf8(u"a\xD800"));
    EXPECT_EQ(Parse("Windows Registry Editor Version 5.00\n[HKCU\\K]\n@=\"Ω\"\n").keys.at(0).values.at(0).data,
              BytesFromUnits(u"Ω\0"s))
        << "a version 5 file in UTF-8 reads the same";
}

TEST(RegFileValues, DwordsAndHexTypes) {
    struct Case {
        std::string line;
        DWORD type;
        std::string data;
    };
    const std::vector<Case> cases{
        {"\"v\"=dword:0000000a", REG_DWORD, "\x0a\0\0\0"s},
        {"\"v\"=dword:1", REG_DWORD, "\x01\0\0\0"s},
        {"\"v\"=DWORD:FFFFFFFF", REG_DWORD, "\xff\xff\xff\xff"s},
        {"\"v\"=dword:12345678", REG_DWORD, "\x78\x56\x34\x12"s},
        {"\"v\"=hex:de,ad,BE,ef", REG_BINARY, "\xde\xad\xbe\xef"s},
        {"\"v\"=hex:", REG_BINARY, ""},
        {"\"v\"=hex(0):01", REG_NONE, "\x01"s},
        {"\"v\"=hex(b):01,00,00,00,00,00,00,80", REG_QWORD, "\x01\0\0\0\0\0\0\x80"s},
        {"\"v\"=hex(4):2a,00,00,00", REG_DWORD, "\x2a\0\0\0"s},
        {"\"v\"=hex(100):ff", 0x100, "\xff"s},
        // In REGEDIT4 the string types' bytes are ANSI already.
        {"\"v\"=hex(2):25,41,25,00", REG_EXPAND_SZ, "%A%\0"s},
        {"\"v\"=hex(7):61,00,62,00,00", REG_MULTI_SZ, "a\0b\0\0"s},
        {"\"v\"=hex(1):e9,00", REG_SZ, "\xe9\0"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto f = Parse(V4("[HKCU\\K]\r\n" + c.line + "\r\n"));
        const auto& v = OnlyValue(f);
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
    }
}

TEST(RegFileValues, Version5HexDataAreKeptAsWritten) {
    const auto f =
        Parse(V5("[HKCU\\K]\r\n"
                 "\"m\"=hex(7):61,00,00,00,ac,20,00,00,00,00\r\n"
                 "\"odd\"=hex(1):41,00,00\r\n"
                 "\"lone\"=hex(2):00,d8,00,00\r\n"));
    ASSERT_EQ(f.keys.at(0).values.size(), 3u);
    EXPECT_EQ(f.keys[0].values[0].data, "a\0\0\0\xac \0\0\0\0"s);
    EXPECT_EQ(f.keys[0].values[1].data, "A\0\0"s) << "the registry keeps odd UTF-16 as given";
    EXPECT_EQ(f.keys[0].values[2].data, "\0\xd8\0\0"s);
}

TEST(RegFileValues, HexListsContinueOverLines) {
    const auto f =
        Parse(V4("[HKCU\\K]\r\n"
                 "\"v\"=hex:00,01,\\\r\n"
                 "  02,03,\\\r\n"
                 "\t04\r\n"
                 "\"w\"=hex(7):\\\r\n"
                 "  61,00,00\r\n"
                 "\"after\"=dword:00000001\r\n"));
    ASSERT_EQ(f.keys.at(0).values.size(), 3u);
    EXPECT_EQ(f.keys[0].values[0].data, "\0\1\2\3\4"s);
    EXPECT_EQ(f.keys[0].values[1].data, "a\0\0"s);
    EXPECT_EQ(f.keys[0].values[2].name, "after");
    EXPECT_EQ(f.keys[0].values[2].where.line, 9) << "lines after a continuation keep their numbers";
}

TEST(RegFileValues, DeletionsAndCommentsAndManyKeys) {
    const auto f =
        Parse(V4("; a comment\r\n"
                 "[HKCU\\A]\r\n"
                 "   ; an indented comment\r\n"
                 "\"gone\"=-\r\n"
                 "@=-\r\n"
                 "\r\n"
                 "[-HKCU\\B]\r\n"
                 "[HKCU\\C]\r\n"
                 "\"x\"=\"y\"\r\n"));
    ASSERT_EQ(f.keys.size(), 3u);
    ASSERT_EQ(f.keys[0].values.size(), 2u);
    EXPECT_TRUE(f.keys[0].values[0].remove);
    EXPECT_EQ(f.keys[0].values[0].name, "gone");
    EXPECT_TRUE(f.keys[0].values[1].remove);
    EXPECT_EQ(f.keys[0].values[1].name, "");
    EXPECT_TRUE(f.keys[1].removeTree);
    EXPECT_EQ(f.keys[2].path, "C");
    EXPECT_EQ(f.keys[2].values.size(), 1u);
}

struct Malformed {
    const char* what;
    std::string file;
    int line;
    int column;
    std::string message;  // a part of the message
};

void ExpectFaults(const std::vector<Malformed>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            Parse(c.file);
            ADD_FAILURE() << "accepted";
        } catch (const ParseError& e) {
            EXPECT_EQ(e.where.line, c.line);
            EXPECT_EQ(e.where.column, c.column);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(RegFileFaults, EachFaultNamesItsLineAndColumn) {
    const std::string k = "[HKCU\\K]\r\n";
    const std::vector<Malformed> cases{
        {"missing header", "[HKCU\\K]\r\n", 1, 1, "missing header"},
        {"other header", "REGEDIT5\r\n", 1, 1, "missing header"},
        {"UTF-16 without a BOM", TextToUtf16Le("Windows Registry Editor Version 5.00\r\n"), 1, 1,
         "without a byte-order mark"},
        {"value before any key", V4("\"a\"=\"b\"\r\n"), 3, 1, "before any key"},
        {"unterminated name", V4(k + "\"abc=x\r\n"), 4, 1, "not closed"},
        {"unterminated data", V4(k + "\"a\"=\"text\r\n"), 4, 5, "not closed"},
        {"unknown escape", V4(k + "\"a\"=\"x\\n\"\r\n"), 4, 7, "escape"},
        {"odd hex digit count", V4(k + "\"a\"=hex:00,0,00\r\n"), 4, 12, "two hex digits"},
        {"byte above ff", V4(k + "\"a\"=hex:00,100\r\n"), 4, 12, "above ff"},
        {"byte missing after comma", V4(k + "\"a\"=hex:00,\r\n"), 4, 12, "expected a hex byte"},
        {"fault on a continuation line", V4(k + "\"a\"=hex:00,\\\r\n  01,zz\r\n"), 5, 6, "expected a hex byte"},
        {"continuation at the end of the file", V4(k + "\"a\"=hex:00,\\"), 4, 12, "ends after a line continuation"},
        {"dword with too many digits", V4(k + "\"a\"=dword:123456789\r\n"), 4, 11, "1 to 8 hex digits"},
        {"dword without digits", V4(k + "\"a\"=dword:\r\n"), 4, 11, "1 to 8 hex digits"},
        {"dword not hex", V4(k + "\"a\"=dword:xyz\r\n"), 4, 11, "1 to 8 hex digits"},
        {"text after a dword", V4(k + "\"a\"=dword:1g\r\n"), 4, 12, "unexpected text"},
        {"unknown data form", V4(k + "\"a\"=qword:1\r\n"), 4, 5, "expected a string"},
        {"missing '='", V4(k + "\"a\" \"b\"\r\n"), 4, 5, "expected '='"},
        {"unclosed key", V4("[HKCU\\K\r\n"), 3, 8, "missing ']'"},
        {"unknown root", V4("[HKEY_NOWHERE\\K]\r\n"), 3, 2, "unknown root"},
        {"empty path part", V4("[HKCU\\A\\\\B]\r\n"), 3, 2, "empty part"},
        {"deleting a root", V4("[-HKLM]\r\n"), 3, 3, "cannot be deleted"},
        {"value under a deleted key", V4("[-HKCU\\K]\r\n\"a\"=\"b\"\r\n"), 4, 1, "being deleted"},
        {"stray text", V4(k + "junk\r\n"), 4, 1, "expected a key"},
        {"malformed UTF-8", "Windows Registry Editor Version 5.00\n[HKCU\\K]\n\"a\"=\"\xC3\"\n", 3, 5, "not UTF-8"},
        {"columns count characters", V5(k + "\"\u00e9\u00e9\"=hex:0\r\n"), 4, 10, "two hex digits"},
    };
    ExpectFaults(cases);
}

// Names the registry would cut, misread or refuse at write time are refused where they stand.
TEST(RegFileFaults, NamesTheRegistryWouldNotKeepAsWritten) {
    const std::string k = "[HKCU\\K]\r\n";
    const std::string part(256, 'p');
    const std::string longPath = "HKCU\\" + std::string(200, 'a') + "\\" + std::string(61, 'b');
    std::string emoji64;  // 128 UTF-16 units
    for (int i = 0; i < 64; ++i) emoji64 += "😀";
    const std::vector<Malformed> cases{
        {"comment holding ']' after a key", V4("[HKCU\\Software\\Foo] ; see [docs]\r\n"), 3, 21, "comment"},
        {"NUL in a version 5 value name", V5(k + "\"a\0b\"=\"x\"\r\n"s), 4, 3, "NUL inside a name"},
        {"NUL in a version 5 key name", V5("[HKCU\\A\0B]\r\n"s), 3, 8, "NUL inside a name"},
        {"NUL in a REGEDIT4 value name", V4(k + "\"a\0\"=-\r\n"s), 4, 3, "NUL inside a name"},
        {"carriage return in a value name", V4(k + "\"a\rb\"=-\r\n"), 4, 3, "line break inside a name"},
        {"doubled backslash after the root", V4("[HKCU\\\\Lead]\r\n"), 3, 2, "empty part"},
        {"doubled backslash at the end", V4("[HKCU\\A\\\\]\r\n"), 3, 2, "empty part"},
        {"REGEDIT4 key path over 260 characters", V4("[" + longPath + "]\r\n"), 3, 2, "at most 260"},
        {"key name over 255 UTF-16 units", V5("[HKCU\\" + std::string(128, 'p') + emoji64 + "]\r\n"), 3, 2,
         "a key name of 256 characters"},
        {"key name over 255 characters", V4("[HKCU\\" + part + "]\r\n"), 3, 2, "at most 255"},
        {"value name over 16383 characters", V4(k + "\"" + std::string(16384, 'v') + "\"=-\r\n"), 4, 1,
         "at most 16383"},
    };
    ExpectFaults(cases);
    // Only a path given whole to an A function is limited: a version 5 file's keys may be deeper.
    EXPECT_EQ(Parse(V5("[" + longPath + "\\" + std::string(127, 'p') + emoji64 + "]\r\n")).keys.size(), 1u);
}

TEST(RegFileKeyNames, ShortAndFullRootsAndBadNames) {
    const auto full = regfile::ParseKeyName("HKEY_LOCAL_MACHINE\\Software");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(full->path, "Software");
    const auto shortForm = regfile::ParseKeyName("hkcu\\A\\B\\");
    ASSERT_TRUE(shortForm);
    EXPECT_EQ(shortForm->root, HKEY_CURRENT_USER);
    EXPECT_EQ(shortForm->path, "A\\B");
    EXPECT_FALSE(regfile::ParseKeyName("HKXX\\A"));
    EXPECT_FALSE(regfile::ParseKeyName("\\Software"));
    EXPECT_FALSE(regfile::ParseKeyName("HKLM\\A\\\\B"));
    EXPECT_FALSE(regfile::ParseKeyName("HKLM\\\\A"));
    EXPECT_FALSE(regfile::ParseKeyName("HKLM\\A\\\\"));
    EXPECT_EQ(regfile::RootName(HKEY_CLASSES_ROOT), "HKEY_CLASSES_ROOT");
}

}  // namespace
