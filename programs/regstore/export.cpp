// regstore export: a key and everything under it as a .reg file or as a registry hive.
#include "command.h"
#include "pending_temp.h"

#include "hive.h"
#include "hive_store.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Writes KEY and everything under it as a .reg file: version 5.00, UTF-16LE with a byte-order
mark, CRLF line ends. Without FILE the file goes to standard output, which must then be redirected:
a terminal cannot show UTF-16. The key is read as it stands at one moment, in one read transaction:
what other programs write meanwhile is in the next export, never half in this one.

With --regedit4 the file is a REGEDIT4 one, in Windows-1252: a name or text with a character that
code page lacks cannot be written in it.

With --hive, FILE is written as a registry hive instead, one that Windows loads (reg load): KEY's
values and subkeys become the hive's root key's, under a clean base block with its checksum, subkey
lists sorted as Windows sorts them. The hive is made whole in memory before it is written, so it
takes about its size in memory.

A key or value that cannot be written so that it imports back (a line break in a name, or text a
REGEDIT4 file cannot hold) is refused, and the message names that key and value. A .reg file is
written a piece at a time as it is made; either file goes into a new file beside FILE that takes its
place once complete: a refused, failed or interrupted export (Ctrl-C, kill, a closed terminal:
SIGINT, SIGTERM, SIGHUP) leaves FILE as it was, or absent, and nothing beside it. To standard
output, what came before a refusal has been written.
)";

struct Options {
    std::string key;
    std::optional<std::string> file;  // else standard output
    bool hive = false;
    bool regedit4 = false;
};

// The exported file, written as the export makes it: into a new file beside FILE that
// takes its place once every byte is in, so that a refused or failed export leaves FILE as it was,
// or absent. FILE that is no regular file (a pipe, a device), or whose folder takes no new file, is
// written in place. An export ended by a signal (Ctrl-C, a closed terminal, kill) leaves no new file
// either: the handler removes it before the signal ends the program.
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
                pendingTemp_.HoldMade(temp_, [&] {
                    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                    return fd_ >= 0;
                });
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
        pendingTemp_.Release();
    }

private:
    std::string path_, temp_, target_;
    PendingTemp pendingTemp_;  // released after the destructor has removed the file
    int fd_ = -1;
    int error_ = 0;
};

int ExportHive(const Options& o) {
    const auto key = KeyArgument(o.key);
    // The hive's root key is named as the key it came from, as Windows names a saved key's root.
    const size_t slash = key.path.rfind('\\');
    const std::string rootName = key.path.empty() ? std::string(regfile::RootName(key.root))
                                                  : key.path.substr(slash == std::string::npos ? 0 : slash + 1);
    // Made first: a FILE that cannot be written is named before the store is read.
    ExportFile file(*o.file);
    std::vector<std::uint8_t> bytes;
    try {
        bytes = hivestore::ExportHive(key.root, KeyPath16(key), hivestore::Utf16(rootName));
    } catch (const hivestore::StoreError& e) {
        throw InputError{e.what()};
    } catch (const hive::HiveError& e) {
        throw InputError{DisplayName(key) + ": " + e.what()};
    }
    file.Write({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    file.Check();
    file.Finish();
    return kOk;
}

int Export(const Options& o) {
    if (o.hive) return ExportHive(o);
    const auto key = KeyArgument(o.key);
    if (!o.file && ::isatty(STDOUT_FILENO) && !o.regedit4)
        throw UsageError{
            "export writes UTF-16, which a terminal cannot show: give a FILE, or redirect the output "
            "(regstore export KEY > FILE.reg)"};
    std::string refusal;
    const auto dialect = o.regedit4 ? regfile::Dialect::Regedit4 : regfile::Dialect::Version5;
    const auto fail = [&](LONG rc) {
        throw InputError{rc == regfile::kUnwritableName ? refusal : DisplayName(key) + ": " + ErrorText(rc, key.root)};
    };
    if (!o.file) {
        // Standard output takes the pieces as they come: after a refusal, those before it stand.
        const LONG rc = regfile::Export(
            key,
            [](std::string_view piece) { return bool(std::cout.write(piece.data(), std::streamsize(piece.size()))); },
            &refusal, dialect);
        std::cout.flush();
        if (rc == regfile::kSinkFailed || !std::cout) throw InputError{"cannot write to standard output"};
        if (rc != ERROR_SUCCESS) fail(rc);
        return kOk;
    }
    ExportFile file(*o.file);
    const LONG rc = regfile::Export(
        key, [&](std::string_view piece) { return file.Write(piece); }, &refusal, dialect);
    file.Check();
    if (rc != ERROR_SUCCESS) fail(rc);
    file.Finish();
    return kOk;
}

}  // namespace

Command AddExport(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app =
        AddCommand(regstore, context, "export",
                   "write KEY and everything under it as a .reg file, or with --hive as a registry hive", kAbout);
    app.add_option("KEY", o->key)->required();
    CLI::Option* file = app.add_option("FILE", o->file);
    CLI::Option* hive = app.add_flag("--hive", o->hive)
                            ->disable_flag_override()
                            ->description("write FILE as a registry hive that Windows loads")
                            ->needs(file);
    app.add_flag("--regedit4", o->regedit4)
        ->disable_flag_override()
        ->description("write a REGEDIT4 file in Windows-1252 instead of version 5.00")
        ->excludes(hive);
    return {&app, [o] { return Export(*o); }};
}

}  // namespace regstore
