#pragma once
// What every regstore command shares: its exit statuses, its two kinds of failure, the store it
// works on, and the helpers that turn keys and registry errors into the words a user reads.
#include "reg_file.h"
#include "winapi.h"

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace CLI {
class App;
class FormatterBase;
}  // namespace CLI

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
};

// A command: its arguments, options and rules are declared on `app`, and `run` does the work once
// the line is parsed and those rules hold.
struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

// Declares --store on a command (or on regstore itself); --help and --help-all come from regstore.
void AddCommonOptions(CLI::App& app, Context& context);
// Help text, which the terminal and the man page both show, is written once in this markup:
// paragraphs between blank lines, wrapped to the width; a line that starts with two spaces shown as
// it is (an example); a line that starts with a tab an item of a list, its name, a tab and what it
// is (a tab more for an item inside the one before). In the man page, the options and the names in
// capitals that usage lines show (KEY, FILE, N) are set in bold and underlined.
// A command named `name`, with the common options. `summary` is its line in regstore's help, `about`
// the text its own help shows below the usage that its declarations make, and its man page entry.
CLI::App& AddCommand(CLI::App& regstore, Context& context, const char* name, const char* summary,
                     const std::string& about);
// An item of a list in that markup, `depth` 1 or more.
std::string HelpItem(size_t depth, std::string_view name, std::string_view about);
// A part of regstore's own help after its commands, and a section of its man page ("Exit status").
struct Section {
    std::string title;
    std::string text;
};
// How regstore's help and usage errors read, from the declarations: the usage line of `command`
// ("regstore [--store PATH] export KEY [FILE] [--hive] [--regedit4]"), and its arguments in words
// ("one KEY and an optional FILE").
std::string Usage(const CLI::App& command);
std::string ArgumentsInWords(const CLI::App& command);
// The help of regstore (and, with AppFormatMode::All, of every command after it) or of one command.
std::shared_ptr<CLI::FormatterBase> HelpFormatter(std::vector<Section> sections);
// The man page's scdoc source `page` with its commands and `sections` put in the line kept for them.
std::string ManPage(const CLI::App& regstore, const std::vector<Section>& sections, std::istream& page);

Command AddImport(CLI::App& regstore, Context& context);
Command AddImportWindows(CLI::App& regstore, Context& context);
Command AddExport(CLI::App& regstore, Context& context);
Command AddVersion(CLI::App& regstore, Context& context);
Command AddQuery(CLI::App& regstore, Context& context);
Command AddSet(CLI::App& regstore, Context& context);
Command AddDelete(CLI::App& regstore, Context& context);
Command AddListWindows(CLI::App& regstore, Context& context);

// What the window shows for the store in use, by the window's own load sequence: the caption, then
// each text box, with the labels `version` prints (Caption, MajorVersion, ... ProductName).
std::vector<std::pair<std::string, std::string>> WindowValues();

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
// A whole number in `text` (an option's N), or nothing.
std::optional<unsigned> Number(const std::string& text);
// Runs hive imports as one store transaction; a hive that cannot be read, or a store that refuses
// a write, leaves the store as it was. A store of `root` that has no file yet is built whole in a
// new file and put in place (RunInNewStore); Ctrl-C or kill meanwhile leaves no new file.
void InHiveTransaction(const Context& context, HKEY root, const std::function<void()>& body);

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
