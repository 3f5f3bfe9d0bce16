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

const char* const kAbout = "Reads and writes the registry store of the portable versioninfo build.";

// What every command shares, after the commands in regstore's help and in sections of the man page.
const std::vector<Section> kSections = {
    {"Keys and values",
     R"(KEY starts with a root, by its full name or its short form: HKEY_LOCAL_MACHINE (HKLM),
HKEY_CURRENT_USER (HKCU), HKEY_CLASSES_ROOT (HKCR), HKEY_USERS (HKU) or HKEY_CURRENT_CONFIG (HKCC).
Key and value names match without regard to case and keep the spelling they were created with. An
empty NAME (--value "") is the key's default value: @ in a .reg file, (Default) in what query shows.

Names and text are kept whole in Unicode, as Windows keeps them; programs that read the registry in
the ANSI code page (Windows-1252) see "?" for a character it lacks, as on Windows. One key name may
have at most 255 characters; a key path may be longer than 260, but keys nest at most 512 levels
below their root.
)"},
    {"Exit status",
     R"(0 on success; 1 when a file, key, value or the store is at fault; 2 when the command line is
wrong: an argument missing or one too many, an option that the command does not take, a required
option missing, two options that exclude each other (--hive and --regedit4), or a value an option
does not take (--type, --codepage, --installation). The message names the command and what it takes.
)"},
};

std::string LongName(const CLI::Option& o) {
    return o.get_positional() ? o.get_name(true) : "--" + o.get_lnames().front();
}

// The first argument left over that the command (or regstore itself) does not take, in words.
std::string Unexpected(const CLI::App& app, const std::string& first, const CLI::App* command) {
    if (first.size() < 2 || first[0] != '-') {
        if (command == nullptr) return "unknown command " + first;
        return command->get_name() + " takes " + ArgumentsInWords(*command) + "; " + first + " is one too many";
    }
    const std::string name = first.substr(0, first.find('='));
    if (command == nullptr) return "unknown option " + name;
    // An option another command takes is named as one this command does not.
    for (const CLI::App* other : app.get_subcommands({}))
        if (other->get_option_no_throw(name) != nullptr) return command->get_name() + " takes no " + name;
    return "unknown option " + name;
}

// What is left over, but the `--` that CLI11 keeps among it.
std::vector<std::string> LeftOver(const CLI::App& app) {
    std::vector<std::string> left;
    for (const std::string& arg : app.remaining())
        if (arg != "--") left.push_back(arg);
    return left;
}

// A rule the command declares, broken, in words that name the command and what it takes.
std::string Broken(const CLI::ParseError& e, const CLI::App* command) {
    if (command == nullptr) return e.what();
    const std::string name = command->get_name();
    const auto options = command->get_options();
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
        std::vector<std::string> needed;
        for (const CLI::Option* o : options) {
            if (!o->get_required()) continue;
            if (o->get_positional() && o->count() == 0) return name + " takes " + ArgumentsInWords(*command);
            if (!o->get_positional() && o->count() == 0) needed.push_back(LongName(*o));
        }
        std::string list;
        for (size_t i = 0; i < needed.size(); ++i)
            list += (i == 0 ? "" : i + 1 == needed.size() ? " and " : ", ") + needed[i];
        if (!list.empty()) return name + " needs " + list;
    }
    for (const CLI::Option* o : options) {
        if (o->count() == 0) continue;
        if (dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr)
            for (const CLI::Option* other : o->get_excludes()) {
                if (other->count() == 0) continue;
                // An option that excludes the rest of a list takes its first item alone.
                if (o->get_positional() || other->get_positional()) {
                    const CLI::Option& list = o->get_positional() ? *o : *other;
                    std::string item = LongName(list);
                    if (item.ends_with("...")) item.resize(item.size() - 3);
                    return name + " " + LongName(o->get_positional() ? *other : *o) + " takes one " + item;
                }
                return name + " takes " + LongName(*o) + " or " + LongName(*other) + ", not both";
            }
        if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr)
            for (const CLI::Option* other : o->get_needs())
                if (other->count() == 0) return name + " " + LongName(*o) + " needs " + LongName(*other);
    }
    return e.what();
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

int Run(int argc, char** argv, std::string& commandName) {
    Context context{DefaultRegistryStorePath()};
    bool version = false, manPage = false;
    CLI::App app(kAbout, "regstore");
    app.formatter(HelpFormatter(kSections));
    // Every command inherits the help flags; a repeated option keeps its last value.
    app.set_help_flag("-h,--help", "show this help, or with a command that command's help");
    app.set_help_all_flag("--help-all", "show this help and every command's");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    AddCommonOptions(app, context);
    app.add_flag("--version", version)->disable_flag_override()->description("show the version");
    // The build makes the man page with it, from docs/regstore.1.scd on standard input.
    app.add_flag("--help-man", manPage)->disable_flag_override()->group("");
    app.allow_extras();
    app.require_subcommand(0, 1);
    const std::vector<Command> commands = {
        AddImport(app, context), AddImportWindows(app, context), AddExport(app, context), AddVersion(app, context),
        AddQuery(app, context),  AddSet(app, context),           AddDelete(app, context), AddListWindows(app, context),
    };
    // CLI11 reads `--value=` as `--value` waiting for its argument, and would take the next one; the
    // empty NAME is the key's default value, so such an option (before `--`) reaches CLI11 as itself
    // and an empty argument. Nothing else of the line is changed.
    std::vector<std::string> line;
    bool positional = false;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        positional = positional || arg == "--";
        const bool emptyAssigned =
            !positional && arg.size() > 3 && arg.starts_with("--") && arg.find('=') == arg.size() - 1;
        line.emplace_back(emptyAssigned ? arg.substr(0, arg.size() - 1) : arg);
        if (emptyAssigned) line.emplace_back();
    }
    std::vector<const char*> args;
    args.reserve(line.size());
    for (const std::string& arg : line) args.push_back(arg.c_str());
    const Command* command = nullptr;
    const auto parsed = [&] {
        for (const auto& c : commands)
            if (c.app->parsed()) command = &c, commandName = c.app->get_name();
    };
    try {
        app.parse(static_cast<int>(args.size()), args.data());
    } catch (const CLI::CallForAllHelp&) {
        parsed();
        std::cout << (command != nullptr ? command->app->help()
                                         : app.get_formatter()->make_help(&app, "", CLI::AppFormatMode::All));
        return kOk;
    } catch (const CLI::CallForHelp&) {
        parsed();
        std::cout << (command != nullptr ? command->app->help() : app.help());
        return kOk;
    } catch (const CLI::ParseError& e) {
        parsed();
        throw UsageError{Broken(e, command != nullptr ? command->app : nullptr)};
    }
    parsed();
    const CLI::App* taker = command != nullptr ? command->app : nullptr;
    if (taker != nullptr)
        if (const auto left = LeftOver(*taker); !left.empty()) throw UsageError{Unexpected(app, left.front(), taker)};
    // What follows a command's last argument and `--` comes back to regstore, yet is the command's.
    if (const auto left = LeftOver(app); !left.empty()) throw UsageError{Unexpected(app, left.front(), taker)};
    if (manPage) {
        std::cout << ManPage(app, kSections, std::cin);
        return kOk;
    }
    if (version) {
        std::cout << "regstore (versioninfo) " << VERSIONINFO_VERSION << "\n";
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
