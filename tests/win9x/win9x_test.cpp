// Windows 95, 98 and Me registry files written here from the format's description and read back
// through libcreg: the examples' keys whole, with cregexport reading the same files as the outside
// check; names and text in their code page; damage refused, the file named.
#include "win9x.h"
#include "../hive/hive_kit.h"
#include "byte_order.h"
#include "creg_kit.h"
#include "hive_store.h"
#include "modWindowsVersion.h"
#include "registry_store.h"
#include "registry_test.h"
#include "utf16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::string_literals;
using cregkit::Bytes;
namespace f = win9x::format;

namespace {

class Folder {
public:
    Folder() {
        std::string tmpl = (fs::temp_directory_path() / "win9x-test-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~Folder() { fs::remove_all(path); }
    std::string Put(const std::string& name, const Bytes& bytes) const {
        std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return file;
    }
    std::string path;
};

std::string ReadExample(const std::string& name) {
    std::ifstream in(std::string(EXAMPLES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What the reader is to give for a tree of Windows-1252 bytes: names and string data as UTF-16.
hivekit::Node Expected(const cregkit::Key& key) {
    hivekit::Node n{Wtf8ToUtf16(AnsiToText(key.name))};
    for (const auto& v : key.values) {
        hivekit::Bytes data(v.data.begin(), v.data.end());
        if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ)
            data = hivekit::Utf16(Wtf8ToUtf16(AnsiToText(v.data)));
        n.values.push_back({Wtf8ToUtf16(AnsiToText(v.name)), v.type, data});
    }
    for (const auto& c : key.children) n.children.push_back(Expected(c));
    return n;
}

std::string DumpOf(const hivekit::Node& n) {
    hivekit::Dump d;
    auto walk = [&](auto& self, const hivekit::Node& k) -> void {
        d.BeginKey(k.name, k.cls, k.time);
        for (const auto& v : k.values) d.Value(v.name, v.type, v.data);
        for (const auto& c : k.children) self(self, c);
        d.EndKey();
    };
    walk(walk, n);
    return d.text;
}

std::string Read(const win9x::RegistryFile& file, unsigned codePage = win9x::kDefaultCodePage) {
    hivekit::Dump d;
    win9x::ReadRegistryFile(file, d, codePage);
    return d.text;
}

std::string Cregexport(const std::string& file) {
    std::string out;
    FILE* p = ::popen(("cregexport '" + file + "' 2>&1").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

// --- the example installations ------------------------------------------------------------------------

struct Example {
    const char* file;
    const char* versionNumber;
};
void PrintTo(const Example& e, std::ostream* os) {
    *os << e.file;
}

class ExampleFiles : public ::testing::TestWithParam<Example> {};

TEST_P(ExampleFiles, ReadWholeAndAsCregexportReadsThem) {
    const auto registry = cregkit::FromRegFile(regfile::Parse(ReadExample(GetParam().file)));
    Folder folder;
    // Blocks of 128 bytes: every key's name entry in a block of its own, past the first.
    const std::string system = folder.Put("SYSTEM.DAT", cregkit::Write(registry.system, 128));
    const std::string user = folder.Put("USER.DAT", cregkit::Write(registry.user));
    EXPECT_EQ(Read({system}), DumpOf(Expected(registry.system)));
    EXPECT_EQ(Read({user}), DumpOf(Expected(registry.user)));
    hivekit::Dump fromBytes;  // as a file of a disk image is read
    const Bytes bytes = cregkit::Write(registry.system);
    win9x::ReadRegistryFile({"image:/WINDOWS/SYSTEM.DAT", "", bytes}, fromBytes);
    EXPECT_EQ(fromBytes.text, DumpOf(Expected(registry.system)));

    const std::string outside = Cregexport(system);
    for (const char* text : {"Key path: Software\\Microsoft\\Windows\\CurrentVersion\n", "Value: 2 VersionNumber\n"})
        EXPECT_NE(outside.find(text), std::string::npos) << text << " not in:\n" << outside;
    EXPECT_NE(outside.find("Data: "s + GetParam().versionNumber + "\n"), std::string::npos) << outside;
    EXPECT_NE(Cregexport(user).find("Key path: .DEFAULT\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Releases, ExampleFiles,
                         ::testing::Values(Example{"windows-95-osr2.reg", "4.00.1111"},
                                           Example{"windows-98-se.reg", "4.10.2222"},
                                           Example{"windows-me.reg", "4.90.3000"}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             name = name.substr(0, name.size() - 4);
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// --- names and text in their code page ----------------------------------------------------------------

struct Text {
    const char* what;
    unsigned codePage;
    std::string keyName, data;
    std::uint32_t type;
    std::u16string name16, data16;  // what the reader gives (data16 as UTF-16 text when the type is one)
    std::string error = {};         // or the refusal
};

const Text kTexts[] = {
    {"western letters", 1252, "Caf\xE9", "na\xEFve \x80\0"s, REG_SZ, u"Caf\u00e9", u"na\u00efve \u20ac\0"s},
    {"a byte 1252 leaves undefined", 1252, "x\x81", "\x9D\0"s, REG_EXPAND_SZ, u"x\u0081", u"\u009d\0"s},
    {"Japanese", 932, "\x96\xBE\x8E\xA1", "\x83\x65\x83\x58\x83\x67\0\x96\xBE\0\0"s, REG_MULTI_SZ, u"\u660e\u6cbb",
     u"\u30c6\u30b9\u30c8\0\u660e\0\0"s},
    {"binary data untouched", 932, "k", "\x96\x00\xFF"s, REG_BINARY, u"k", u""},
    {"half a Japanese character", 932, "k", "ok\x96"s, REG_SZ, u"", u"",
     "key k: the text of a value: byte 2 (0x96) is no text in code page 932 (--codepage names another)"},
    {"a byte Greek leaves undefined", 1253, "\xAA", ""s, REG_SZ, u"", u"",
     "the root key: a subkey's name: byte 0 (0xAA) is no text in code page 1253"},
};
void PrintTo(const Text& t, std::ostream* os) {
    *os << t.what;
}

class CodePages : public ::testing::TestWithParam<Text> {};

TEST_P(CodePages, NamesAndTextAsTheCodePageReadsThem) {
    const Text& t = GetParam();
    cregkit::Key root;
    root.Child(t.keyName).values.push_back({t.keyName, t.type, t.data});
    Folder folder;
    const std::string file = folder.Put("SYSTEM.DAT", cregkit::Write(root));
    if (!t.error.empty()) {
        try {
            Read({file}, t.codePage);
            ADD_FAILURE() << "read";
        } catch (const win9x::CregError& e) {
            EXPECT_NE(std::string(e.what()).find(file + ": offset 0x"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(t.error), std::string::npos) << e.what();
        }
        return;
    }
    const hivekit::Bytes data =
        t.type == REG_BINARY ? hivekit::Bytes(t.data.begin(), t.data.end()) : hivekit::Utf16(t.data16);
    EXPECT_EQ(Read({file}, t.codePage), DumpOf({u"", {}, {{t.name16, {{t.name16, t.type, data}}}}}));
}

INSTANTIATE_TEST_SUITE_P(Texts, CodePages, ::testing::ValuesIn(kTexts));

// --- damage -------------------------------------------------------------------------------------------

// The file offset of key entry `index` (the root is 0, then depth first).
std::size_t KeyEntry(std::size_t index) {
    return f::kKeysOffset + f::kKeysHeaderSize + index * f::kKeyEntrySize;
}

struct Damage {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::vector<std::string> error;  // each in the message
    bool backup = false;             // a SYSTEM.DA0 beside it
};
void PrintTo(const Damage& d, std::ostream* os) {
    *os << d.what;
}

// The file offset of the first data block's first entry.
std::size_t FirstEntry(const Bytes& b) {
    return ReadLe32(&b[f::kFileFirstDataBlock]) + f::kDataHeaderSize;
}

const Damage kDamage[] = {
    {"truncated",
     [](Bytes& b) { b.resize(b.size() - 200); },
     {"truncated: the data block takes 0x1000 bytes, the file ends at 0x1F58"}},
    {"truncated, a backup beside it",
     [](Bytes& b) { b.resize(b.size() / 2); },
     {"truncated: the key entries take 0x1000 bytes", "; ",
      "/SYSTEM.DA0, the copy of its last good state that Windows kept, is there"},
     true},
    {"empty", [](Bytes& b) { b.clear(); }, {"empty, not a Windows 95, 98 or Me registry file"}},
    {"no signature",
     [](Bytes& b) { b[0] = 'X'; },
     {"not a Windows 95, 98 or Me registry file (it does not start with \"CREG\")"}},
    {"blocks miscounted",
     [](Bytes& b) { WriteLe16(&b[f::kFileDataBlocks], 2); },
     {"the header counts 2 data blocks, the file holds 1"}},
    {"a key its own sibling",
     [](Bytes& b) { WriteLe32(&b[KeyEntry(2) + f::kKeyNextSibling], 0x20 + 28 * 2); },
     {"offset 0x78: a key entry reached twice: the key entries loop"}},
    {"a key entry outside the record",
     [](Bytes& b) { WriteLe32(&b[KeyEntry(4) + f::kKeyFirstChild], 0x0FF0); },
     {"a key entry at 0xFF0 of the key entries, outside them"}},
    {"a key's name entry missing",
     [](Bytes& b) { WriteLe16(&b[KeyEntry(3) + f::kKeyNameEntry], 77); },
     {"key Software\\Microsoft: cannot read its subkey 0's name: unable to retrieve key name entry"}},
    {"zeros for the free space",
     [](Bytes& b) {
         const std::size_t block = ReadLe32(&b[f::kFileFirstDataBlock]);
         std::fill(b.begin() + std::ptrdiff_t(block + f::kDataHeaderSize + ReadLe32(&b[block + f::kDataUsed])), b.end(),
                   0);
     },
     {"an entry of 0x0 bytes, too small to be one"}},
    {"a name longer than its entry",
     [](Bytes& b) { WriteLe16(&b[FirstEntry(b) + f::kNameEntryNameSize], 0xFFFF); },
     {"offset 0x1040: a key's name and 0 values do not fit in its entry of 0x1C bytes"}},
};

class DamagedFiles : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedFiles, RefusedNamingTheFile) {
    Bytes bytes = cregkit::Write(cregkit::FromRegFile(regfile::Parse(ReadExample("windows-98-se.reg"))).system);
    GetParam().damage(bytes);
    Folder folder;
    const std::string file = folder.Put("SYSTEM.DAT", bytes);
    const std::string backup = GetParam().backup ? folder.Put("SYSTEM.DA0", {}) : "";
    try {
        Read({file, backup});
        ADD_FAILURE() << "read";
    } catch (const win9x::CregError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(file + ": ", 0), 0u) << e.what();
        for (const auto& part : GetParam().error)
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, DamagedFiles, ::testing::ValuesIn(kDamage));

// --- into the store --------------------------------------------------------------------------------

// An installation in the store first, then a Windows 9x registry over it, as import-windows writes it.
struct Installation {
    const char* what;
    const char* example;
    unsigned codePage = win9x::kDefaultCodePage;
    std::function<void(cregkit::Registry&)> change = {};  // to the example's keys
    std::function<void(Bytes& user)> damage = {};         // to USER.DAT
    int code = 0;                                         // the version code then, or
    std::string error = {};                               // the refusal, the store left as it was
};
void PrintTo(const Installation& i, std::ostream* os) {
    *os << i.what;
}

class IntoTheStore : public RegistryTest, public ::testing::WithParamInterface<Installation> {};

const Installation kInstallations[] = {
    {"Windows 95 OSR2", "windows-95-osr2.reg", 1252, {}, {}, 3},
    {"Windows 98 SE", "windows-98-se.reg", 1252, {}, {}, 6},
    {"Windows Me", "windows-me.reg", 1252, {}, {}, 7},
    {"a Japanese Windows 98",
     "windows-98-se.reg",
     932,
     [](cregkit::Registry& r) {
         r.system.Child("Software")
             .Child("\x96\xBE\x8E\xA1")
             .values.push_back({"\x96\xBE", REG_SZ, "\x83\x65\x83\x58\x83\x67\0"s});
     },
     {},
     6},
    {"USER.DAT damaged",
     "windows-me.reg",
     1252,
     {},
     [](Bytes& b) { b.resize(b.size() - 1); },
     0,
     "/USER.DAT: offset 0x1020: truncated: the data block takes 0x1000 bytes"},
};

TEST_P(IntoTheStore, ImportedAsTheWindowReadsIt) {
    const Installation& t = GetParam();
    PutMachine("Software\\Microsoft\\Windows NT\\CurrentVersion", "ProductName", REG_SZ, Sz("Windows 10 Pro"));
    auto registry = cregkit::FromRegFile(regfile::Parse(ReadExample(t.example)));
    if (t.change) t.change(registry);
    Bytes user = cregkit::Write(registry.user);
    if (t.damage) t.damage(user);
    Folder folder;
    const win9x::Registry files{{folder.Put("SYSTEM.DAT", cregkit::Write(registry.system))},
                                {folder.Put("USER.DAT", user)}};
    std::string error;
    const LONG rc = RunInStoreTransaction([&]() -> LONG {
        try {
            hivestore::ImportWindows9x(files, t.codePage);
        } catch (const std::exception& e) {
            error = e.what();
            return ERROR_BADDB;
        }
        return ERROR_SUCCESS;
    });
    if (!t.error.empty()) {
        EXPECT_NE(error.find(folder.path + t.error), std::string::npos) << error;
        EXPECT_EQ(GetWindowsVersion(), 19);  // the Windows 10 before, whole
        return;
    }
    ASSERT_EQ(rc, ERROR_SUCCESS) << error;
    EXPECT_EQ(GetWindowsVersion(), t.code);  // no Windows NT key is left to name Windows 10
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u".DEFAULT", 0, KEY_READ, &h), ERROR_SUCCESS);
    if (h != nullptr) RegCloseKey(h);
    if (t.codePage == 932) {  // kept whole: the W functions read the Japanese name and text back
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\u660e\u6cbb", 0, KEY_READ, &h), ERROR_SUCCESS);
        char16_t text[16] = {};
        DWORD type = 0, size = sizeof text;
        EXPECT_EQ(RegQueryValueExW(h, u"\u660e", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), u"\u30c6\u30b9\u30c8");
        RegCloseKey(h);
    }
}

INSTANTIATE_TEST_SUITE_P(Installations, IntoTheStore, ::testing::ValuesIn(kInstallations));

// --- the files in a Windows folder --------------------------------------------------------------------

TEST(FindRegistry, FilesFoundInAnyCaseOfLetters) {
    Folder folder;
    EXPECT_FALSE(win9x::FindRegistry(folder.path));
    const std::string user = folder.Put("User.Dat", {});
    EXPECT_FALSE(win9x::FindRegistry(folder.path));  // no SYSTEM.DAT: no registry
    const std::string system = folder.Put("system.dat", {}), backup = folder.Put("SYSTEM.da0", {});
    const auto found = win9x::FindRegistry(folder.path);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->system.path, system);
    EXPECT_EQ(found->system.backup, backup);
    EXPECT_EQ(found->user.path, user);
    EXPECT_EQ(found->user.backup, "");
}

}  // namespace
