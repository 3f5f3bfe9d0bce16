// regstore: reads and writes the portable registry store from the command line, and moves whole
// installations in and out of it as .reg files and registry hives. Each command lives in a file of
// its own and declares its own options; this file parses the line and runs the command.
#include "command.h"

#include "registry_store.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef VERSIONINFO_VERSION
#define VERSIONINFO_VERSION "unknown"
#endif

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] COMMAND [ARGUMENTS]
       regstore COMMAND --help
       regstore --version

Reads and writes the registry store of the portable versioninfo build.

Commands:
  import FILE...                 apply .reg files, all of them or nothing
  import FILE --key KEY          make KEY hold what a registry hive holds
  import-windows SOURCE [--installation N] [--codepage N]
                                 read the registry of a Windows installation on a
                                 folder, disk image or block device
  list-windows SOURCE [--json]   list the Windows installations on SOURCE
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

// The first argument left over that the command (or regstore itself) does not take, in words.
std::string Unexpected(const CLI::App& app, const std::vector<std::string>& extras, const Command* command) {
    const std::string& first = extras.front();
    if (first.size() < 2 || first[0] != '-') {
        if (command == nullptr) return "unknown command " + first;
        return std::string(command->app->get_name()) + " does not take " + first;
    }
    const std::string name = first.substr(0, first.find('='));
    if (command == nullptr) return "unknown option " + name;
    // An option another command takes is named as one this command does not.
    for (const CLI::App* other : app.get_subcommands({}))
        if (other->get_option_no_throw(name) != nullptr)
            return std::string(command->app->get_name()) + " takes no " + name;
    return "unknown option " + name;
}

int Run(int argc, char** argv, std::string& commandName) {
    Context context{DefaultRegistryStorePath()};
    bool version = false;
    CLI::App app("regstore", "regstore");
    // The help texts are our own, per command; a repeated option keeps its last value.
    app.set_help_flag();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    AddCommonOptions(app, context);
    app.add_flag("--version", version)->disable_flag_override();
    app.allow_extras();
    app.require_subcommand(0, 1);
    const std::vector<Command> commands = {
        AddImport(app, context), AddImportWindows(app, context), AddExport(app, context), AddVersion(app, context),
        AddQuery(app, context),  AddSet(app, context),           AddDelete(app, context), AddListWindows(app, context),
    };
    // CLI11 reads `--value=` as a --value without its argument; the empty name (the default value)
    // must reach the command, so it is passed as `--value ""`. CLI11 takes the line reversed.
    // What follows `--` is arguments, whatever it looks like: CLI11 would hand it back to regstore
    // once the command's first argument is there, so it is kept aside for the command.
    int end = 1;
    while (end < argc && std::string_view(argv[end]) != "--") ++end;
    std::vector<std::string> line;
    for (int i = end - 1; i >= 1; --i) {
        const std::string arg = argv[i];
        const bool emptyAssigned = arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.find('=') == arg.size() - 1;
        if (emptyAssigned) {
            line.emplace_back();
            line.push_back(arg.substr(0, arg.size() - 1));
        } else {
            line.push_back(arg);
        }
    }
    try {
        app.parse(line);
    } catch (const CLI::ParseError& e) {
        for (const auto& c : commands)
            if (c.app->parsed()) commandName = c.app->get_name();
        throw UsageError{e.what()};
    }
    const Command* command = nullptr;
    for (const auto& c : commands)
        if (c.app->parsed()) command = &c;
    if (command != nullptr) commandName = command->app->get_name();
    if (end + 1 < argc) {
        if (command == nullptr) throw UsageError{"the command comes before --"};
        command->args->insert(command->args->end(), argv + end + 1, argv + argc);
    }
    if (!app.remaining().empty()) throw UsageError{Unexpected(app, app.remaining(), nullptr)};
    if (command != nullptr)
        if (const auto extras = command->app->remaining(); !extras.empty())
            throw UsageError{Unexpected(app, extras, command)};
    if (version) {
        std::cout << "regstore (versioninfo) " << VERSIONINFO_VERSION << "\n";
        return kOk;
    }
    if (context.help) {
        std::cout << (command == nullptr ? kHelp : command->help);
        return kOk;
    }
    if (command == nullptr) throw UsageError{"no command given"};
    if (context.storeGiven) {  // else HKEY_CURRENT_USER stays in the user's own store
        CheckStoreFolder(context.store);
        UseRegistryStore(context.store);
    }
    return command->run();
}

}  // namespace
}  // namespace regstore

int main(int argc, char** argv) {
    using namespace regstore;
    std::string command;
    try {
        return Run(argc, argv, command);
    } catch (const UsageError& e) {
        std::cerr << "regstore: " << e.message << "\nTry 'regstore " << (command.empty() ? "" : command + " ")
                  << "--help'.\n";
        return kBadUsage;
    } catch (const InputError& e) {
        std::cerr << "regstore: " << e.message << "\n";
        return kBadInput;
    } catch (const std::exception& e) {
        std::cerr << "regstore: " << e.what() << "\n";
        return kBadInput;
    }
}
