#pragma once
// What every regstore command shares: its exit statuses, its two kinds of failure, the store it
// works on, and the helpers that turn keys and registry errors into the words a user reads.
#include "RegFile.h"
#include "winapi.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace regstore {

constexpr int kOk = 0;
constexpr int kBadInput = 1;
constexpr int kBadUsage = 2;

// The command line is at fault (exit status 2).
struct UsageError {
    std::string message;
};
// A file, key, value or the store is at fault (exit status 1).
struct InputError {
    std::string message;
};

// The options every command takes, wherever they stand on the line.
struct Context {
    std::string store;
    bool storeGiven = false;  // else HKEY_CURRENT_USER stays in the user's own store
    bool help = false;
};

// A command: its own options are declared on `app`, its arguments land in `args`, `help` is what
// `--help` shows, and `run` does the work once the line is parsed.
struct Command {
    CLI::App* app = nullptr;
    const char* help = nullptr;
    std::vector<std::string>* args = nullptr;
    std::function<int()> run;
};

// Declares --store and --help on a command (or on regstore itself).
void AddCommonOptions(CLI::App& app, Context& context);
// A command named `name`, with the common options, that takes any number of arguments into `args`
// (their count is checked by the command, so that its message names what it takes).
CLI::App& AddCommand(CLI::App& regstore, Context& context, const char* name, std::vector<std::string>& args);

Command AddImport(CLI::App& regstore, Context& context);
Command AddImportWindows(CLI::App& regstore, Context& context);
Command AddExport(CLI::App& regstore, Context& context);
Command AddVersion(CLI::App& regstore, Context& context);
Command AddQuery(CLI::App& regstore, Context& context);
Command AddSet(CLI::App& regstore, Context& context);
Command AddDelete(CLI::App& regstore, Context& context);

// The store that holds the keys under `root`.
std::string StoreOf(HKEY root);
std::string ErrorText(LONG rc);
// What went wrong with a key under `root`: when the user's own store was refused, which folder and
// why (and which store, unless the message names it already).
std::string ErrorText(LONG rc, HKEY root, bool storeNamed = false);

// REG_SZ and the like; another type as 0x and its number in hex.
std::string TypeName(DWORD type);
std::u16string Wide(std::string_view text);
// Text from the command line, refused when it is not UTF-8 rather than stored with U+FFFD.
const std::string& Whole(const std::string& text, const std::string& what);
regfile::KeyName KeyArgument(const std::string& text);
std::string DisplayName(const regfile::KeyName& key);
std::u16string KeyPath16(const regfile::KeyName& key);

void Warn(const std::vector<std::string>& warnings);
// Runs hive imports as one store transaction; a hive that cannot be read, or a store that refuses
// a write, leaves the store as it was.
void InHiveTransaction(const Context& context, const std::function<void()>& body);

// An open key of the store, or an InputError that names it.
class Key {
public:
    Key(const regfile::KeyName& name, REGSAM access);
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY Get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

}  // namespace regstore
