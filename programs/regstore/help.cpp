// regstore's help and the words of its usage errors, made from what each command declares: its
// arguments, its options and their rules. Only what a command does is written by hand, beside it.
#include "command.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace regstore {
namespace {

// Where a description starts, after a command's or an option's usage.
constexpr size_t kColumn = 33;
constexpr size_t kWidth = 80;

struct Argument {
    std::string name;
    bool required;
    bool many;
};

// The command's arguments in order. An optional list that goes on from the argument before it
// (FILE, then FILE..., which an option may exclude) is read with it as one: FILE...
std::vector<Argument> Arguments(const CLI::App& command) {
    std::vector<Argument> out;
    for (const CLI::Option* o : command.get_options([](const CLI::Option* o) { return o->get_positional(); })) {
        std::string name = o->get_name(true);
        const bool many = o->get_expected_max() > 1;
        if (name.size() > 3 && name.ends_with("...")) name.resize(name.size() - 3);
        if (many && !out.empty() && out.back().name == name) {
            out.back().many = true;
            continue;
        }
        out.push_back({name, o->get_required(), many});
    }
    return out;
}

std::string LongName(const CLI::Option& o) {
    return o.get_lnames().empty() ? o.get_name() : "--" + o.get_lnames().front();
}

// "--value NAME", or "[--regedit4]" for what may be left out.
std::string OptionUsage(const CLI::Option& o) {
    std::string text = LongName(o);
    if (o.get_expected_max() > 0) text += " " + o.get_type_name();
    return o.get_required() ? text : "[" + text + "]";
}

bool Listed(const CLI::App& app, const CLI::Option* o) {
    return !o->get_positional() && !o->get_group().empty() && o != app.get_help_ptr() && o != app.get_help_all_ptr() &&
           LongName(*o) != "--store";
}

// A command's arguments and its own options: "export KEY [FILE] [--hive] [--regedit4]".
std::string CommandLine(const CLI::App& command) {
    std::string text = command.get_name();
    for (const Argument& a : Arguments(command)) {
        const std::string name = a.many ? a.name + "..." : a.name;
        text += " " + (a.required ? name : "[" + name + "]");
    }
    for (const CLI::Option* o : command.get_options())
        if (Listed(command, o)) text += " " + OptionUsage(*o);
    return text;
}

// `left`, then `right` from kColumn on, in lines of at most kWidth (on a line of its own when `left`
// reaches kColumn).
std::string Row(const std::string& left, const std::string& right) {
    std::string text = left;
    size_t at = left.size();
    if (at + 1 >= kColumn) text += "\n", at = 0;
    bool first = true;
    for (size_t start = 0; start < right.size();) {
        size_t end = right.find(' ', start);
        if (end == std::string::npos) end = right.size();
        const std::string word = right.substr(start, end - start);
        if (!first && at + 1 + word.size() > kWidth) text += "\n", at = 0;
        if (at < kColumn) text += std::string(kColumn - at, ' '), at = kColumn;
        else text += " ", ++at;
        text += word, at += word.size(), first = false;
        start = end + 1;
    }
    return text + "\n";
}

std::string OptionRows(const CLI::App& app) {
    std::string rows;
    for (const CLI::Option* o : app.get_options()) {
        if (o->get_positional() || o->get_group().empty()) continue;
        if (o == app.get_help_all_ptr() && app.get_parent() != nullptr) continue;  // regstore's alone
        std::string names;
        for (const auto& s : o->get_snames()) names += "-" + s + ", ";
        names += LongName(*o);
        if (o->get_expected_max() > 0) names += " " + o->get_type_name();
        rows += Row("  " + names, o->get_description());
    }
    return rows;
}

std::string CommandHelp(const CLI::App& command) {
    return "Usage: " + Usage(command) + "\n\n" + command.get_footer() + "\nOptions:\n" + OptionRows(command);
}

std::string RegstoreHelp(const CLI::App& regstore) {
    const CLI::Option* store = regstore.get_option_no_throw("--store");
    const std::string storeUsage = store != nullptr ? OptionUsage(*store) + " " : "";
    std::string text = "Usage: regstore " + storeUsage + "COMMAND [ARGUMENTS]\n";
    if (const CLI::Option* help = regstore.get_help_ptr()) text += "       regstore COMMAND " + LongName(*help) + "\n";
    for (const CLI::Option* o : regstore.get_options())
        if (Listed(regstore, o) || o == regstore.get_help_all_ptr()) text += "       regstore " + LongName(*o) + "\n";
    text += "\n" + regstore.get_description() + "\n\nCommands:\n";
    for (const CLI::App* command : regstore.get_subcommands({}))
        text += Row("  " + CommandLine(*command), command->get_description());
    return text + "\n" + regstore.get_footer() + "\nOptions:\n" + OptionRows(regstore);
}

class Help : public CLI::FormatterBase {
public:
    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
        if (app->get_parent() != nullptr) return CommandHelp(*app);
        std::string text = RegstoreHelp(*app);
        if (mode == CLI::AppFormatMode::All)
            for (const CLI::App* command : app->get_subcommands({})) text += "\n" + CommandHelp(*command);
        return text;
    }
};

}  // namespace

std::string Usage(const CLI::App& command) {
    // regstore's own --store, unless the command hides its own (it touches no store).
    const CLI::Option* store = command.get_option_no_throw("--store");
    const bool storeShown = store != nullptr && !store->get_group().empty();
    return "regstore " + (storeShown ? OptionUsage(*store) + " " : std::string()) + CommandLine(command);
}

std::string ArgumentsInWords(const CLI::App& command) {
    std::vector<std::string> words;
    for (const Argument& a : Arguments(command)) {
        if (a.required) words.push_back(a.many ? "one or more " + a.name + "s" : "one " + a.name);
        else words.push_back(a.many ? "any number of " + a.name + "s" : "an optional " + a.name);
    }
    if (words.empty()) return "no arguments";
    std::string text = words.front();
    for (size_t i = 1; i < words.size(); ++i) text += (i + 1 == words.size() ? " and " : ", ") + words[i];
    return text;
}

std::shared_ptr<CLI::FormatterBase> HelpFormatter() {
    return std::make_shared<Help>();
}

}  // namespace regstore
