// regstore export: a key and everything under it as a .reg file or as a registry hive.
#include "command.h"

#include "Hive.h"
#include "hive_store.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] export KEY [FILE] [--regedit4]
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
)";

struct Options {
    std::vector<std::string> args;  // KEY [FILE]
    bool hive = false;
    bool regedit4 = false;
};

// The file is written whole once every byte is known, so a refused export leaves no file behind.
void WriteFile(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw InputError{path + ": " + std::strerror(errno)};
    out.write(data, static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw InputError{path + ": cannot write"};
}

int ExportHive(const Options& o) {
    if (o.args.size() != 2) throw UsageError{"export --hive takes KEY and FILE"};
    const auto key = KeyArgument(o.args[0]);
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
    WriteFile(o.args[1], reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return kOk;
}

int Export(const Options& o) {
    if (o.regedit4 && o.hive) throw UsageError{"export takes --regedit4 or --hive, not both"};
    if (o.hive) return ExportHive(o);
    if (o.args.empty() || o.args.size() > 2) throw UsageError{"export takes KEY and an optional FILE"};
    const auto key = KeyArgument(o.args[0]);
    if (o.args.size() == 1 && ::isatty(STDOUT_FILENO) && !o.regedit4)
        throw UsageError{
            "export writes UTF-16, which a terminal cannot show: give a FILE, or redirect the output "
            "(regstore export KEY > FILE.reg)"};
    std::string bytes, refusal;
    const auto dialect = o.regedit4 ? regfile::Dialect::Regedit4 : regfile::Dialect::Version5;
    if (const LONG rc = regfile::Export(key, bytes, &refusal, dialect); rc != ERROR_SUCCESS)
        throw InputError{rc == regfile::kUnwritableName ? refusal : DisplayName(key) + ": " + ErrorText(rc, key.root)};
    if (o.args.size() == 1) {
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::cout.flush();
        if (!std::cout) throw InputError{"cannot write to standard output"};
        return kOk;
    }
    WriteFile(o.args[1], bytes.data(), bytes.size());
    return kOk;
}

}  // namespace

Command AddExport(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "export", o->args);
    app.add_flag("--hive", o->hive)->disable_flag_override();
    app.add_flag("--regedit4", o->regedit4)->disable_flag_override();
    return {&app, kHelp, &o->args, [o] { return Export(*o); }};
}

}  // namespace regstore
