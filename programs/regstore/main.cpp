// regstore: reads and writes the portable registry store from the command line, and moves whole
// installations in and out of it as .reg files and registry hives.
#include "Form1.h"
#include "Form1Layout.h"
#include "Hive.h"
#include "QxRegistry.h"
#include "RaisedError.h"
#include "RegFile.h"
#include "hive_store.h"
#include "registry_store.h"
#include "text.h"
#include "utf16.h"
#include "winapi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <strings.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kBadInput = 1;
constexpr int kBadUsage = 2;

#ifndef VERSIONINFO_VERSION
#define VERSIONINFO_VERSION "unknown"
#endif

// The largest .reg file read: far above any installation's version keys, and a bound on the memory
// an import takes whatever it is given (a device, a huge file).
constexpr size_t kMaxFileBytes = 64u << 20;

const char* const kHelp = R"(Usage: regstore [--store PATH] COMMAND [ARGUMENTS]
       regstore COMMAND --help
       regstore --version

Reads and writes the registry store of the portable versioninfo build.

Commands:
  import FILE...                 apply .reg files, all of them or nothing
  import FILE --key KEY          make KEY hold what a registry hive holds
  import-windows DIR             read the registry of a Windows installation on a disk
  export KEY [FILE] [--regedit4] write KEY and everything under it as a .reg file
  export KEY FILE --hive         the same as a registry hive
  version                        show what the window shows for the store
  query KEY [--value NAME]       show the values and subkeys of KEY, or one value
  set KEY --value NAME --type TYPE --data DATA
                                 write one value
  delete KEY [--value NAME]      delete KEY with everything under it, or one value

KEY starts with a root: HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),
HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU) or HKEY_CURRENT_CONFIG (HKCC).
An empty NAME ("") is the key's default value. Names and text are kept whole
in Unicode, as Windows keeps them; programs that read the registry in the ANSI
code page (Windows-1252) see "?" for a character it lacks, as on Windows.

Options:
  --store PATH   keep every root, HKCU included, in this store instead of the
                 program's; its folder must exist, the file is made on the first write
  --regedit4     (export) write a REGEDIT4 file in Windows-1252 instead of version 5.00
  --help         show this help, or with a command that command's help
  --version      show the version

Exit status: 0 on success, 1 when a file, key, value or the store is at fault,
2 when the command line is.
)";

struct CommandHelp {
    const char* name;
    const char* text;
};

const CommandHelp kCommandHelp[] = {
    {"import", R"(Usage: regstore [--store PATH] import FILE...
       regstore [--store PATH] import FILE --key KEY

Applies .reg files to the store. Every file is read and checked first; then all of
them are written in one transaction, so a fault anywhere changes nothing.

Both dialects are read: "REGEDIT4" (Windows-1252 bytes) and "Windows Registry
Editor Version 5.00" (UTF-16LE with a byte-order mark, or UTF-8), whose text is
kept whole, whatever the characters. A file may hold at most 64 MiB. A fault is
reported as FILE:LINE:COLUMN: message.

With --key, FILE is a registry hive (a file that starts with "regf", such as
Windows/System32/config/SYSTEM or a user's NTUSER.DAT): what its root key holds
replaces what KEY holds, in one transaction. The hive's transaction logs beside it
(FILE.LOG1, FILE.LOG2, FILE.LOG, any case) are replayed as Windows replays them.
Names and text are kept whole, whatever the code page holds.
)"},
    {"import-windows", R"(Usage: regstore [--store PATH] import-windows DIR

Reads the registry of a Windows installation: DIR is the root of its volume (mounted
read-only, say) or its Windows/System32/config folder. The SOFTWARE hive becomes
HKLM\SOFTWARE and the SYSTEM hive HKLM\SYSTEM, in one transaction, with their logs
replayed; HKLM\SYSTEM\CurrentControlSet is made a copy of the control set that
SYSTEM's Select\Current names, as the running system sees it. Names in the path
are found without regard to case. Then the window (or regstore version) shows
that installation.
)"},
    {"version", R"(Usage: regstore [--store PATH] version

Shows what the window shows for the store, one line each, the label and the value
separated by a tab: Caption, MajorVersion, MinorVersion, CSDVersion, ProductType
and ProductName. It runs the window's own load sequence.
)"},
    {"export", R"(Usage: regstore [--store PATH] export KEY [FILE] [--regedit4]
       regstore [--store PATH] export KEY FILE --hive

Writes KEY and everything under it as a .reg file: version 5.00, UTF-16LE with a
byte-order mark, CRLF line ends. Without FILE the file goes to standard output,
which must then be redirected: a terminal cannot show UTF-16.

With --regedit4 the file is a REGEDIT4 one, in Windows-1252: a name or text with
a character that code page lacks cannot be written in it.

With --hive, FILE is written as a registry hive instead, one that Windows loads
(reg load): KEY's values and subkeys become the hive's root key's.

A key or value that cannot be written so that it imports back (a line break in a
name, or text a REGEDIT4 file cannot hold) is refused: nothing is written and the
message names that key and value.
)"},
    {"query", R"(Usage: regstore [--store PATH] query KEY [--value NAME]

Shows the values of KEY, one a line as NAME, TYPE and data, then lists its
subkeys; with --value, only that value ("" is the default value, shown as
(Default)). Strings show their text, REG_MULTI_SZ strings are separated by \0,
numbers are in 0x hex and other types as hex bytes.
)"},
    {"set", R"(Usage: regstore [--store PATH] set KEY --value NAME --type TYPE --data DATA

Writes one value, creating KEY when needed. TYPE and DATA:
  REG_SZ, REG_EXPAND_SZ    text
  REG_MULTI_SZ             strings separated by the two characters \0
  REG_DWORD, REG_QWORD     a number, decimal or 0x hex
  REG_BINARY, REG_NONE     two hex digits per byte, commas and blanks allowed
Text is kept whole in Unicode, whatever the characters.
)"},
    {"delete", R"(Usage: regstore [--store PATH] delete KEY [--value NAME]

Deletes KEY with everything under it, or with --value only that value ("" is the
default value). A root key cannot be deleted.
)"},
};

const char* CommandHelpText(const std::string& command) {
    for (const auto& c : kCommandHelp)
        if (command == c.name) return c.text;
    return nullptr;
}

struct UsageError {
    std::string message;
};
struct InputError {
    std::string message;
};

std::string ErrorText(LONG rc);

// The store that holds the keys under `root`.
std::string StoreOf(HKEY root) { return root == HKEY_CURRENT_USER ? UserRegistryStorePath() : RegistryStorePath(); }

// What went wrong with a key under `root`: when the user's own store was refused, which folder and
// why (and which store, unless the message names it already).
std::string ErrorText(LONG rc, HKEY root, bool storeNamed = false) {
    if (rc == ERROR_ACCESS_DENIED && root == HKEY_CURRENT_USER) {
        const std::string why = UserRegistryStoreRefusal();
        if (!why.empty())
            return "access denied: " + (storeNamed ? std::string("the store") : "the store " + StoreOf(root)) +
                   " is not used, as " + why;
    }
    return ErrorText(rc);
}

std::string ErrorText(LONG rc) {
    switch (rc) {
        case ERROR_FILE_NOT_FOUND: return "not found";
        case ERROR_ACCESS_DENIED: return "access denied";
        case ERROR_BADDB: return "the store is not a registry database";
        case ERROR_CANTREAD: return "cannot read the store";
        case ERROR_CANTWRITE: return "cannot write the store";
        case ERROR_BAD_PATHNAME: return "not a key path";
        case ERROR_MORE_DATA: return "a name too long for the registry";
        case ERROR_INVALID_PARAMETER: return "a name or value the registry does not take";
        case ERROR_KEY_DELETED: return "the key was deleted meanwhile";
        default: return "registry error " + std::to_string(rc);
    }
}

struct Arguments {
    std::string store = DefaultRegistryStorePath();
    bool storeGiven = false;  // else HKEY_CURRENT_USER stays in the user's own store
    std::vector<std::string> positional;
    std::optional<std::string> value, type, data, key;
    bool hive = false;
    bool help = false;
    bool version = false;
    bool regedit4 = false;
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments a;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsDone || arg.size() < 2 || arg[0] != '-') {
            a.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            a.help = true;
            continue;
        }
        if (arg == "--version") {
            a.version = true;
            continue;
        }
        if (arg == "--hive") {
            a.hive = true;
            continue;
        }
        if (arg == "--regedit4") {
            a.regedit4 = true;
            continue;
        }
        const size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        std::optional<std::string>* target = name == "--value" ? &a.value
                                           : name == "--type"  ? &a.type
                                           : name == "--data"  ? &a.data
                                           : name == "--key"   ? &a.key
                                                               : nullptr;
        if (target == nullptr && name != "--store") throw UsageError{"unknown option " + name};
        std::string text;
        if (eq != std::string::npos) {
            text = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            text = argv[++i];
        } else {
            throw UsageError{name + " needs an argument"};
        }
        if (target != nullptr) *target = text;
        else a.store = text, a.storeGiven = true;
    }
    return a;
}

// Whether the ANSI code page holds `text` whole, so that the A functions may carry it.
bool FitsAnsi(std::string_view text) { return AnsiToText(TextToAnsi(text)) == text; }

std::u16string Wide(std::string_view text) { return Wtf8ToUtf16(text); }

// Text from the command line, refused when it is not UTF-8 rather than stored with U+FFFD.
const std::string& Whole(const std::string& text, const std::string& what) {
    if (Utf16ToWtf8(Wide(text)) != text) throw InputError{what + ": text that is not UTF-8"};
    return text;
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

regfile::KeyName KeyArgument(const std::string& text) {
    auto key = regfile::ParseKeyName(text);
    if (!key) {
        const bool rootKnown = regfile::ParseKeyName(text.substr(0, text.find('\\'))).has_value();
        throw UsageError{"not a registry key: " + text +
                             (rootKnown ? " (a key path with an empty part)" : " (it must start with a root key)")};
    }
    Whole(key->path, text);
    const std::string fault = regfile::KeyPathFault(key->path);
    if (!fault.empty()) throw InputError{text + ": " + fault};
    return *key;
}

// The whole file, read with a bound so that no input can exhaust memory.
std::string ReadFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError{path + ": " + std::strerror(errno)};
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) throw InputError{path + ": a folder, not a .reg file"};
    std::string bytes;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw InputError{path + ": " + std::strerror(errno)};
        if (n == 0) return bytes;
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileBytes)
            throw InputError{path + ": larger than " + std::to_string(kMaxFileBytes >> 20) +
                             " MiB, the most regstore reads from a .reg file"};
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

std::string DisplayName(const regfile::KeyName& key) {
    std::string name(regfile::RootName(key.root));
    return key.path.empty() ? name : name + "\\" + key.path;
}

void NoOptions(const Arguments& a, const char* command, bool valueAllowed) {
    if ((a.value && !valueAllowed) || a.type || a.data)
        throw UsageError{std::string(command) + " takes no --value, --type or --data"};
    const std::string c = command;
    if (a.key && c != "import") throw UsageError{c + " takes no --key"};
    if (a.hive && c != "export") throw UsageError{c + " takes no --hive"};
    if (a.regedit4 && c != "export") throw UsageError{c + " takes no --regedit4"};
    if (a.regedit4 && a.hive) throw UsageError{"export takes --regedit4 or --hive, not both"};
}

void Warn(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::cerr << "regstore: warning: " << w << "\n";
}

// A file to read whole: it must exist and be no folder.
void CheckReadable(const std::string& path, const char* what) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError{path + ": " + std::strerror(errno)};
    struct stat st {};
    const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (folder) throw InputError{path + ": a folder, not " + what};
}

std::u16string KeyPath16(const regfile::KeyName& key) { return Wide(key.path); }

// Runs hive imports as one store transaction; a hive that cannot be read, or a store that refuses
// a write, leaves the store as it was.
void InHiveTransaction(const Arguments& a, const std::function<void()>& body) {
    LONG rc = ERROR_SUCCESS;
    try {
        rc = RunInStoreTransaction([&]() -> LONG {
            body();
            return ERROR_SUCCESS;
        });
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    } catch (const hivestore::StoreError& e) {
        throw InputError{"cannot write the store " + a.store + ": " + e.what()};
    }
    if (rc != ERROR_SUCCESS) throw InputError{"cannot write the store " + a.store + ": " + ErrorText(rc)};
}

int ImportHive(const Arguments& a, const std::string& path) {
    const auto key = KeyArgument(*a.key);
    CheckReadable(path, "a registry hive");
    if (!hivestore::IsHiveFile(path))
        throw InputError{path + ": not a registry hive (it does not start with \"regf\"); --key is for a hive, "
                                "a .reg file names its own keys"};
    hivestore::ImportReport report;
    InHiveTransaction(a, [&] { report = hivestore::ImportHive(path, key.root, KeyPath16(key)); });
    Warn(report.warnings);
    return kOk;
}

int Import(const Arguments& a) {
    NoOptions(a, "import", false);
    if (a.positional.size() < 2) throw UsageError{"import needs at least one FILE"};
    const std::vector<std::string> paths(a.positional.begin() + 1, a.positional.end());
    if (a.key) {
        if (paths.size() != 1) throw UsageError{"import --key takes one hive FILE"};
        return ImportHive(a, paths[0]);
    }
    // Every file is read and checked before the store is touched.
    std::vector<regfile::RegFile> files;
    for (const auto& path : paths) {
        if (hivestore::IsHiveFile(path))
            throw InputError{path + ": a registry hive: name the key it becomes with --key KEY"};
        try {
            files.push_back(regfile::Parse(ReadFile(path)));
        } catch (const regfile::ParseError& e) {
            throw InputError{path + ":" + std::to_string(e.where.line) + ":" + std::to_string(e.where.column) + ": " +
                             e.what()};
        }
    }
    std::string failure;
    const LONG rc = RunInStoreTransaction([&]() -> LONG {
        for (size_t i = 0; i < files.size(); ++i) {
            const auto result = regfile::Apply(files[i]);
            if (result.code != ERROR_SUCCESS) {
                // The key whose line (or one of whose value lines) failed names the store.
                HKEY root = nullptr;
                for (const auto& key : files[i].keys)
                    if (key.where.line <= result.where.line) root = key.root;
                failure = paths[i] + ":" + std::to_string(result.where.line) + ":" +
                          std::to_string(result.where.column) + ": cannot write the store " + StoreOf(root) + ": " +
                          ErrorText(result.code, root, true);
                return result.code;
            }
        }
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS && failure.empty()) {
        // Refused before anything was written: no store may be written, the first key's among them.
        HKEY root = nullptr;
        for (const auto& file : files)
            if (root == nullptr && !file.keys.empty()) root = file.keys.front().root;
        failure = "cannot write the store " + (root != nullptr ? StoreOf(root) : a.store) + ": " + ErrorText(rc, root, true);
    }
    if (rc != ERROR_SUCCESS) throw InputError{failure};
    return kOk;
}

// The file is written whole once every byte is known, so a refused export leaves no file behind.
void WriteFile(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw InputError{path + ": " + std::strerror(errno)};
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw InputError{path + ": cannot write"};
}

int ExportHive(const Arguments& a) {
    if (a.positional.size() != 3) throw UsageError{"export --hive takes KEY and FILE"};
    const auto key = KeyArgument(a.positional[1]);
    // The hive's root key is named as the key it came from, as Windows names a saved key's root.
    const size_t slash = key.path.rfind('\\');
    const std::string rootName = key.path.empty() ? std::string(regfile::RootName(key.root))
                                                  : key.path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::vector<std::uint8_t> bytes;
    try {
        bytes = hivestore::ExportHive(key.root, KeyPath16(key), hivestore::Utf16(rootName));
    } catch (const hivestore::StoreError& e) {
        throw InputError{e.what()};
    } catch (const hive::HiveError& e) {
        throw InputError{DisplayName(key) + ": " + e.what()};
    }
    WriteFile(a.positional[2], reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return kOk;
}

// A .reg file written as the export makes it, a piece at a time: into a new file beside FILE that
// takes its place once every byte is in, so that a refused or failed export leaves FILE as it was,
// or absent. FILE that is no regular file (a pipe, a device), or whose folder takes no new file, is
// written in place.
class ExportFile {
public:
    explicit ExportFile(const std::string& path) : path_(path) {
        struct stat st {};
        const bool exists = ::stat(path.c_str(), &st) == 0;
        if (!exists || S_ISREG(st.st_mode)) {
            // Beside the file a symbolic link names: the link stays, as when the file is written through it.
            std::string target = path;
            if (char* real = exists ? ::realpath(path.c_str(), nullptr) : nullptr) {
                target = real;
                std::free(real);
            }
            const size_t slash = target.rfind('/');
            const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
            const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
            for (int n = 0; fd_ < 0 && n < 100; ++n) {
                temp_ = dir + "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(n) + ".tmp";
                fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                if (fd_ < 0 && errno != EEXIST) break;
            }
            if (fd_ >= 0) {
                target_ = target;
                if (exists) ::fchmod(fd_, st.st_mode & 07777);
                return;
            }
            if (!exists) throw InputError{path + ": " + std::strerror(errno)};
            temp_.clear();
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw InputError{path + ": " + std::strerror(errno)};
    }
    ~ExportFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!temp_.empty()) ::unlink(temp_.c_str());
    }
    ExportFile(const ExportFile&) = delete;
    ExportFile& operator=(const ExportFile&) = delete;

    bool Write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return error_ = errno, false;
            bytes.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    // Throws when a write failed.
    void Check() const {
        if (error_ != 0) throw InputError{path_ + ": cannot write: " + std::strerror(error_)};
    }
    void Finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw InputError{path_ + ": cannot write: " + std::strerror(errno)};
        if (!temp_.empty() && ::rename(temp_.c_str(), target_.c_str()) != 0)
            throw InputError{path_ + ": " + std::strerror(errno)};
        temp_.clear();
    }

private:
    std::string path_, temp_, target_;
    int fd_ = -1;
    int error_ = 0;
};

int Export(const Arguments& a) {
    NoOptions(a, "export", false);
    if (a.hive) return ExportHive(a);
    if (a.positional.size() < 2 || a.positional.size() > 3) throw UsageError{"export takes KEY and an optional FILE"};
    const auto key = KeyArgument(a.positional[1]);
    if (a.positional.size() == 2 && ::isatty(STDOUT_FILENO) && !a.regedit4)
        throw UsageError{"export writes UTF-16, which a terminal cannot show: give a FILE, or redirect the output "
                         "(regstore export KEY > FILE.reg)"};
    std::string refusal;
    const auto dialect = a.regedit4 ? regfile::Dialect::Regedit4 : regfile::Dialect::Version5;
    const auto fail = [&](LONG rc) {
        throw InputError{rc == regfile::kUnwritableName ? refusal : DisplayName(key) + ": " + ErrorText(rc, key.root)};
    };
    if (a.positional.size() == 2) {
        // Standard output takes the pieces as they come: after a refusal, those before it stand.
        const LONG rc = regfile::Export(
            key, [](std::string_view piece) { return bool(std::cout.write(piece.data(), std::streamsize(piece.size()))); },
            &refusal, dialect);
        std::cout.flush();
        if (rc == regfile::kSinkFailed || !std::cout) throw InputError{"cannot write to standard output"};
        if (rc != ERROR_SUCCESS) fail(rc);
        return kOk;
    }
    ExportFile file(a.positional[2]);
    const LONG rc = regfile::Export(key, [&](std::string_view piece) { return file.Write(piece); }, &refusal, dialect);
    file.Check();
    if (rc != ERROR_SUCCESS) fail(rc);
    file.Finish();
    return kOk;
}

// The entry of `folder` named `name` without regard to case (the exact spelling first), or "".
std::string FindEntry(const std::string& folder, const char* name, bool wantFolder) {
    const auto isKind = [&](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && (wantFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
    };
    if (isKind(folder + "/" + name)) return folder + "/" + name;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) return {};
    std::string found;
    while (const dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name) == 0 && isKind(folder + "/" + e->d_name)) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int ImportWindows(const Arguments& a) {
    NoOptions(a, "import-windows", false);
    if (a.positional.size() != 2) throw UsageError{"import-windows takes one DIR"};
    std::string dir = a.positional[1];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw InputError{dir + ": " + std::strerror(errno)};
    if (!S_ISDIR(st.st_mode)) throw InputError{dir + ": not a folder; name the Windows volume or its Windows/System32/config folder"};
    // The volume's root, or the config folder itself.
    std::string config = dir;
    if (FindEntry(dir, "SYSTEM", false).empty() && FindEntry(dir, "SOFTWARE", false).empty()) {
        config = dir;
        for (const char* part : {"Windows", "System32", "config"}) {
            const std::string parent = config;
            config = FindEntry(parent, part, true);
            if (config.empty() && !FindEntry(parent, "SYSTEM.DAT", false).empty())
                throw InputError{parent + ": a Windows 95, 98 or Me registry (SYSTEM.DAT and USER.DAT), which is "
                                          "not held in hives; import-windows reads Windows NT, 2000 and later"};
            if (config.empty())
                throw InputError{dir + ": no Windows/System32/config folder in it (nor SYSTEM and SOFTWARE hives): "
                                       "not a Windows volume"};
        }
    }
    std::array<std::string, 2> hives;
    const std::array<const char*, 2> names{"SOFTWARE", "SYSTEM"};
    for (size_t i = 0; i < 2; ++i) {
        hives[i] = FindEntry(config, names[i], false);
        if (hives[i].empty()) throw InputError{config + ": no " + names[i] + " hive in it"};
        if (!hivestore::IsHiveFile(hives[i])) throw InputError{hives[i] + ": not a registry hive (it does not start with \"regf\")"};
    }
    // CurrentControlSet is the running system's link to the control set in use, which only
    // Select\Current tells; it is made as a copy of that control set.
    hivestore::ImportOptions options;
    DWORD current = 0;
    std::vector<std::string> warnings;
    try {
        if (hivestore::ReadTopLevelDword(hives[1], u"Select", u"Current", current)) {
            char name[32];
            std::snprintf(name, sizeof name, "ControlSet%03u", current);
            options.mirror = hivestore::Utf16(name);
            options.mirrorAs = u"CurrentControlSet";
        } else {
            warnings.push_back(hives[1] + ": no REG_DWORD Select\\Current: HKLM\\SYSTEM\\CurrentControlSet is not made");
        }
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    }
    hivestore::ImportReport software, system;
    InHiveTransaction(a, [&] {
        software = hivestore::ImportHive(hives[0], HKEY_LOCAL_MACHINE, u"SOFTWARE");
        system = hivestore::ImportHive(hives[1], HKEY_LOCAL_MACHINE, u"SYSTEM", options);
    });
    Warn(warnings);
    Warn(software.warnings);
    for (auto& w : system.warnings)
        if (w.rfind("the hive", 0) == 0) w = hives[1] + ": " + w;
    Warn(system.warnings);
    return kOk;
}

// The window's surface as text: what the load sequence puts in each box and in the caption.
class TextSurface : public Form1Surface {
public:
    std::array<std::string, 5> texts;
    std::string caption;

protected:
    void DoSetText(TextBox box, std::string_view text) override { texts[static_cast<size_t>(box) - 1] = std::string(text); }
    std::string DoGetText(TextBox box) const override { return texts[static_cast<size_t>(box) - 1]; }
    void DoSetCaption(const std::string& text) override { caption = text; }
};

int Version(const Arguments& a) {
    NoOptions(a, "version", false);
    if (a.positional.size() != 1) throw UsageError{"version takes no arguments"};
    TextSurface surface;
    try {
        Form1(surface).Form_Load();
    } catch (const RaisedError& e) {
        throw InputError{e.what()};
    }
    std::cout << "Caption\t" << surface.caption << "\n";
    for (size_t i = 0; i < kTextBoxRows.size(); ++i)
        std::cout << LabelOf(kTextBoxRows[i]).caption << "\t" << surface.texts[i] << "\n";
    return kOk;
}

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_QWORD: return "REG_QWORD";
        default: return "0x" + [&] {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%x", type);
            return std::string(buf);
        }();
    }
}

std::string ShowData(const regfile::StoredValue& v) {
    char buf[32];
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        std::memcpy(&d, v.data.data(), 4);
        std::snprintf(buf, sizeof buf, "0x%x", d);
        return buf;
    }
    if (v.type == REG_QWORD && v.data.size() == 8) {
        unsigned long long q = 0;
        std::memcpy(&q, v.data.data(), 8);
        std::snprintf(buf, sizeof buf, "0x%llx", q);
        return buf;
    }
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ) {
        std::u16string text = UnitsFromBytes(v.data);
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        std::string shown;
        for (char c : Utf16ToWtf8(text)) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        return shown;
    }
    std::string hex;
    for (unsigned char c : v.data) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        hex += buf;
    }
    return hex;
}

class Key {
public:
    Key(const regfile::KeyName& name, REGSAM access) {
        const LONG rc = regfile::OpenPath(name.root, name.path, access, h_);
        if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    }
    ~Key() { RegCloseKey(h_); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY Get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

int Query(const Arguments& a) {
    NoOptions(a, "query", true);
    if (a.positional.size() != 2) throw UsageError{"query takes one KEY"};
    const auto name = KeyArgument(a.positional[1]);
    const Key key(name, KEY_READ);
    std::vector<regfile::StoredValue> values;
    if (const LONG rc = regfile::ReadValues(key.Get(), values); rc != ERROR_SUCCESS)
        throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    auto show = [](const regfile::StoredValue& v) {
        std::cout << "    " << (v.name.empty() ? std::string("(Default)") : v.name) << "    "
                  << TypeName(v.type) << "    " << ShowData(v) << "\n";
    };
    if (a.value) {
        const std::string wanted = FoldCase(*a.value);
        for (const auto& v : values)
            if (FoldCase(v.name) == wanted) {
                std::cout << DisplayName(name) << "\n";
                show(v);
                return kOk;
            }
        throw InputError{DisplayName(name) + ": no value named \"" + *a.value + "\""};
    }
    std::cout << DisplayName(name) << "\n";
    for (const auto& v : values) show(v);
    std::vector<std::string> children;
    if (const LONG rc = regfile::ReadSubKeyNames(key.Get(), children); rc != ERROR_SUCCESS)
        throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    if (!children.empty()) std::cout << "\n";
    for (const auto& child : children) std::cout << DisplayName(name) << "\\" << child << "\n";
    return kOk;
}

template <typename T>
T Number(const std::string& text, const char* type) {
    T v = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.data() + (hex ? 2 : 0);
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(begin, end, v, hex ? 16 : 10);
    if (ec != std::errc() || stop != end || begin == end)
        throw UsageError{"--data " + text + " is not a " + type + " (decimal or 0x hex)"};
    return v;
}

// The data's bytes; text in UTF-16 for a W function (`wide`), else in the ANSI code page.
std::string ValueBytes(DWORD type, const std::string& data, bool wide) {
    const auto encoded = [&](std::string_view text) {
        return wide ? BytesFromUnits(Wide(text) + u'\0') : TextToAnsi(text) + '\0';
    };
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return encoded(data);
        case REG_MULTI_SZ: {
            std::string out;
            size_t start = 0;
            while (start <= data.size()) {
                size_t sep = data.find("\\0", start);
                if (sep == std::string::npos) sep = data.size();
                if (sep > start) out += encoded(data.substr(start, sep - start));
                start = sep + 2;
            }
            return out + encoded("");
        }
        case REG_DWORD: {
            const auto v = Number<DWORD>(data, "REG_DWORD");
            return std::string(reinterpret_cast<const char*>(&v), sizeof v);
        }
        case REG_QWORD: {
            const auto v = Number<unsigned long long>(data, "REG_QWORD");
            return std::string(reinterpret_cast<const char*>(&v), sizeof v);
        }
        default: {
            std::string out;
            std::string digits;
            for (char c : data)
                if (c != ',' && c != ' ') digits += c;
            if (digits.size() % 2 != 0) throw UsageError{"--data needs two hex digits per byte"};
            for (size_t i = 0; i < digits.size(); i += 2) {
                unsigned v = 0;
                const auto [stop, ec] = std::from_chars(digits.data() + i, digits.data() + i + 2, v, 16);
                if (ec != std::errc() || stop != digits.data() + i + 2) throw UsageError{"--data is not hex: " + data};
                out += static_cast<char>(v);
            }
            return out;
        }
    }
}

DWORD TypeArgument(const std::string& text) {
    std::string up = FoldCase(text);
    for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD})
        if (TypeName(t) == up) return t;
    throw UsageError{"unknown --type " + text};
}

int Set(const Arguments& a) {
    if (a.positional.size() != 2) throw UsageError{"set takes one KEY"};
    if (!a.value || !a.type || !a.data) throw UsageError{"set needs --value, --type and --data"};
    const auto name = KeyArgument(a.positional[1]);
    const DWORD type = TypeArgument(*a.type);
    const std::string& value = Whole(*a.value, "--value");
    const bool text = IsStringType(type);
    if (text) Whole(*a.data, "--data");
    // The registry class speaks the ANSI code page and takes a path whole: what it cannot carry
    // so (other characters, a longer path) goes through the W functions, whole.
    const bool viaClass = (text || type == REG_DWORD) && FitsAnsi(value) && FitsAnsi(name.path) &&
                          (!text || FitsAnsi(*a.data)) && regfile::KeyPathFault(name.path, true).empty();
    const std::string bytes = ValueBytes(type, *a.data, !viaClass);
    if (viaClass) {
        // The kinds the registry class writes go through it, in its representation.
        QxRegistry reg;
        if (!reg.CreateKey(name.path, name.root)) {
            // The class does not say why; the registry call does.
            HKEY h = nullptr;
            const LONG rc = RegCreateKeyExA(name.root, TextToAnsi(name.path).c_str(), 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h, nullptr);
            if (rc == ERROR_SUCCESS) RegCloseKey(h);
            throw InputError{DisplayName(name) + ": cannot open the key for writing in the store " + StoreOf(name.root) +
                             ": " + ErrorText(rc, name.root, true)};
        }
        if (type == REG_SZ) reg.SetStringValue(value, *a.data);
        else if (type == REG_EXPAND_SZ) reg.SetExpandStringValue(value, *a.data);
        else if (type == REG_MULTI_SZ) reg.SetMultiStringValue(value, AnsiToText(std::string_view(bytes).substr(0, bytes.size() - 1)));
        else {
            DWORD n = 0;
            std::memcpy(&n, bytes.data(), sizeof n);
            reg.SetLong(value, static_cast<LONG>(n));
        }
        reg.CloseKey();
        // The class does not report a refused write; the user must hear of it.
        const Key check(name, KEY_QUERY_VALUE);
        std::string stored(bytes.size(), '\0');
        DWORD storedType = 0, size = static_cast<DWORD>(stored.size());
        const LONG rc = RegQueryValueExA(check.Get(), TextToAnsi(value).c_str(), nullptr, &storedType,
                                         reinterpret_cast<BYTE*>(stored.data()), &size);
        if (rc != ERROR_SUCCESS || storedType != type || size != bytes.size() || stored != bytes)
            throw InputError{DisplayName(name) + ": value \"" + value + "\": the store refused the write"};
        return kOk;
    }
    HKEY h = nullptr;
    LONG rc = RegCreateKeyExW(name.root, Wide(name.path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE | KEY_QUERY_VALUE, nullptr, &h, nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(h, Wide(value).c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                            static_cast<DWORD>(bytes.size()));
        RegCloseKey(h);
    }
    if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    return kOk;
}

int Delete(const Arguments& a) {
    NoOptions(a, "delete", true);
    if (a.positional.size() != 2) throw UsageError{"delete takes one KEY"};
    const auto name = KeyArgument(a.positional[1]);
    if (a.value) {
        const Key key(name, KEY_SET_VALUE);
        const LONG rc = RegDeleteValueW(key.Get(), Wide(Whole(*a.value, "--value")).c_str());
        if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": value \"" + *a.value + "\": " + ErrorText(rc, name.root)};
        return kOk;
    }
    if (name.path.empty()) throw InputError{DisplayName(name) + ": a root key cannot be deleted"};
    const LONG rc = RegDeleteTreeW(name.root, Wide(name.path).c_str());
    if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    return kOk;
}

// The store's folder must exist: the store file is made on the first write, its folder never is.
// A folder given as the store is named too, rather than failing as an unreadable store.
void CheckStoreFolder(const std::string& store) {
    const size_t slash = store.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : store.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw InputError{"no such folder " + folder + " for the store " + store};
    if (::stat(store.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw InputError{"the store " + store + " is a folder; --store names the store's file"};
}

}  // namespace

int main(int argc, char** argv) {
    std::string command;
    try {
        const Arguments a = ParseArguments(argc, argv);
        if (!a.positional.empty()) command = a.positional[0];
        if (a.version) {
            std::cout << "regstore (versioninfo) " << VERSIONINFO_VERSION << "\n";
            return kOk;
        }
        if (a.help) {
            const char* text = command.empty() ? kHelp : CommandHelpText(command);
            if (text == nullptr) throw UsageError{"unknown command " + command};
            std::cout << text;
            return kOk;
        }
        if (command.empty()) throw UsageError{"no command given"};
        if (CommandHelpText(command) == nullptr) throw UsageError{"unknown command " + command};
        if (a.storeGiven) {  // else HKEY_CURRENT_USER stays in the user's own store
            CheckStoreFolder(a.store);
            UseRegistryStore(a.store);
        }
        if (command == "import") return Import(a);
        if (command == "export") return Export(a);
        if (command == "import-windows") return ImportWindows(a);
        if (command == "version") return Version(a);
        if (command == "query") return Query(a);
        if (command == "set") return Set(a);
        return Delete(a);
    } catch (const UsageError& e) {
        const bool known = CommandHelpText(command) != nullptr;
        std::cerr << "regstore: " << e.message << "\nTry 'regstore " << (known ? command + " " : "") << "--help'.\n";
        return kBadUsage;
    } catch (const InputError& e) {
        std::cerr << "regstore: " << e.message << "\n";
        return kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "regstore: " << e.what() << "\n";
        return kBadInput;
    }
}
