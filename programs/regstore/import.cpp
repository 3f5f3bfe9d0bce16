// regstore import: .reg files applied all or nothing, or a registry hive as the contents of a key.
#include "command.h"
#include "pending_temp.h"

#include "hive_format.h"

#include "hive_store.h"
#include "progress_line.h"
#include "registry_store.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Applies .reg files to the store. Every file is read and checked first; then all of them are
written in one transaction, so a fault anywhere changes nothing. Both dialects are read: "REGEDIT4"
(Windows-1252 bytes) and "Windows Registry Editor Version 5.00" (UTF-16LE with a byte-order mark, or
UTF-8), whose text is kept whole, whatever the characters. A file may hold at most 64 MiB; a larger
one, or a device such as /dev/zero, is refused by name, as is a folder. A fault is reported as
FILE:LINE:COLUMN: message, and nothing is written.

With --key, FILE is a registry hive (a file that starts with "regf": SYSTEM, SOFTWARE, NTUSER.DAT,
...): what its root key holds replaces what KEY holds, in one transaction. Its transaction logs
beside it (FILE.LOG1, FILE.LOG2, FILE.LOG, in any case) are replayed as Windows replays them, and a
base block that cannot be trusted is restored from the newest one among the logs; a dirty hive
without usable logs is read as it is, with a warning naming the logs looked for, and a damaged log
or a replay that stops early is named in a warning. Of two sibling keys or values whose names differ
only in case, the first is read and the other left out, with a warning. Names and text are kept
whole, whatever the code page holds. FILE may be a pipe, read once. A write that takes more than a
second shows its progress on a terminal: keys written of keys read. A hive that cannot be read is
refused with its file name and the offset of the fault, or the reason (a folder, a dangling link, a
link loop, permission, a device, over 4 GiB), and nothing is written.
)";

// The largest .reg file read: far above any installation's version keys, and a bound on the memory
// an import takes whatever it is given (a device, a huge file).
constexpr size_t kMaxFileBytes = 64u << 20;

struct Options {
    std::string file;
    std::vector<std::string> more;  // the files after the first
    std::optional<std::string> key;
};

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

int ImportHive(const Context& context, const std::string& keyText, const std::string& path) {
    const auto key = KeyArgument(keyText);
    // The reader refuses what is no hive, with the reason; a pipe it reads once, as a stream.
    hivestore::ImportReport report;
    output::ProgressLine progress("regstore", stderr, output::ProgressLine::IsTerminal(stderr));
    hivestore::ImportOptions options;
    options.writing = [&](std::uint64_t written, std::uint64_t read) { progress.Written(path, written, read); };
    InHiveTransaction(context, key.root,
                      [&] { report = hivestore::ImportHive(path, key.root, KeyPath16(key), options); });
    progress.Clear();
    Warn(report.warnings);
    return kOk;
}

int Import(const Context& context, const Options& o) {
    if (o.key) return ImportHive(context, *o.key, o.file);
    std::vector<std::string> paths{o.file};
    paths.insert(paths.end(), o.more.begin(), o.more.end());
    // Every file is read and checked before the store is touched.
    std::vector<regfile::RegFile> files;
    for (const auto& path : paths) {
        if (hivestore::IsHiveFile(path))
            throw InputError{path + ": a registry hive: name the key it becomes with --key KEY"};
        try {
            const std::string bytes = ReadFile(path);
            // A hive from a pipe.
            if (hive::format::LooksLikeHive({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}))
                throw InputError{path + ": a registry hive: name the key it becomes with --key KEY"};
            files.push_back(regfile::Parse(bytes));
        } catch (const regfile::ParseError& e) {
            throw InputError{path + ":" + std::to_string(e.where.line) + ":" + std::to_string(e.where.column) + ": " +
                             e.what()};
        }
    }
    std::string failure;
    // A new store (of the first key's root) is built whole and put in place.
    HKEY first = HKEY_LOCAL_MACHINE;
    for (const auto& file : files) {
        if (file.keys.empty()) continue;
        first = file.keys.front().root;
        break;
    }
    PendingTemp building;
    const auto told = [&building](const std::string& path) { building.Follow(path); };
    const LONG rc = RunInNewStore(
        first,
        [&]() -> LONG {
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
        },
        told);
    if (rc != ERROR_SUCCESS && failure.empty()) {
        // Refused before anything was written: no store may be written, the first key's among them.
        HKEY root = nullptr;
        for (const auto& file : files)
            if (root == nullptr && !file.keys.empty()) root = file.keys.front().root;
        failure = "cannot write the store " + (root != nullptr ? StoreOf(root) : context.store) + ": " +
                  ErrorText(rc, root, true);
    }
    if (rc != ERROR_SUCCESS) throw InputError{failure};
    return kOk;
}

}  // namespace

Command AddImport(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "import",
                               "apply .reg files, all of them or nothing; with --key, make KEY hold what a "
                               "registry hive holds",
                               kAbout);
    app.add_option("FILE", o->file)->required();
    // A hive is one file: --key takes the first FILE alone.
    CLI::Option* more = app.add_option("FILE...", o->more);
    app.add_option("--key", o->key)
        ->type_name("KEY")
        ->description("FILE is a registry hive, whose root key's contents replace KEY's")
        ->excludes(more);
    return {&app, [&context, o] { return Import(context, *o); }};
}

}  // namespace regstore
