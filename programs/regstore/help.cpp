// regstore's help, its man page's commands and the words of its usage errors, made from what each
// command declares (its arguments, its options and their rules) and from the help text written beside
// it, once, for the terminal and the man page alike.
#include "ascii.h"
#include "command.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <istream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace regstore {
namespace {

// Where a description starts, after a command's or an option's usage.
constexpr size_t kColumn = 33;
constexpr size_t kWidth = 80;
// The line of docs/regstore.1.scd that the commands and regstore's sections take the place of.
constexpr std::string_view kManPlace = "; regstore --help-man: the commands, then regstore's own sections";

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

// How a usage line is spelled: as it is for the terminal, in scdoc's bold and underline for the man page.
struct Spelling {
    bool scdoc = false;
    std::string Literal(const std::string& text) const { return scdoc ? "*" + text + "*" : text; }
    std::string Placeholder(const std::string& text) const { return scdoc ? "_" + text + "_" : text; }
};

// "--value NAME", or "[--regedit4]" for what may be left out.
std::string OptionUsage(const CLI::Option& o, Spelling s = {}) {
    std::string text = s.Literal(LongName(o));
    if (o.get_expected_max() > 0) text += " " + s.Placeholder(o.get_type_name());
    return o.get_required() ? text : "[" + text + "]";
}

bool Listed(const CLI::App& app, const CLI::Option* o) {
    return !o->get_positional() && !o->get_group().empty() && o != app.get_help_ptr() && o != app.get_help_all_ptr() &&
           LongName(*o) != "--store";
}

// A command's arguments and its own options: "export KEY [FILE] [--hive] [--regedit4]".
std::string CommandLine(const CLI::App& command, Spelling s = {}) {
    std::string text = s.Literal(command.get_name());
    for (const Argument& a : Arguments(command)) {
        const std::string name = s.Placeholder(a.name) + (a.many ? "..." : "");
        text += " " + (a.required ? name : "[" + name + "]");
    }
    for (const CLI::Option* o : command.get_options())
        if (Listed(command, o)) text += " " + OptionUsage(*o, s);
    return text;
}

// `words` from `column` on, in lines of at most kWidth, the first of them already at `at`.
std::string Wrap(const std::string& words, size_t column, size_t at) {
    std::string text;
    bool lineStart = true;
    for (size_t start = 0; start < words.size();) {
        size_t end = words.find(' ', start);
        if (end == std::string::npos) end = words.size();
        const std::string word = words.substr(start, end - start);
        if (!lineStart && at + 1 + word.size() > kWidth) text += "\n", at = 0, lineStart = true;
        if (at < column) text += std::string(column - at, ' '), at = column;
        else if (!lineStart) text += " ", ++at;
        text += word, at += word.size(), lineStart = false;
        start = end + 1;
    }
    return text + "\n";
}

// `left`, then `right` from kColumn on (on a line of its own when `left` reaches kColumn).
std::string Row(const std::string& left, const std::string& right) {
    if (left.size() + 1 >= kColumn) return left + "\n" + Wrap(right, kColumn, 0);
    return left + Wrap(right, kColumn, left.size());
}

// A piece of help text, as command.h's markup reads it.
struct Block {
    enum class Kind { Prose, Example, Item } kind;
    bool opens = false;  // the first of a paragraph
    size_t depth = 0;    // of an item: 1, or more inside the item before
    std::string name, text;
};

std::vector<Block> Blocks(std::string_view text) {
    std::vector<Block> out;
    bool opens = true;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty()) {
            opens = true;
            continue;
        }
        if (line.starts_with('\t')) {
            const size_t depth = line.find_first_not_of('\t');
            const size_t tab = line.find('\t', depth);
            out.push_back({Block::Kind::Item, opens, depth, std::string(line.substr(depth, tab - depth)),
                           tab == std::string_view::npos ? "" : std::string(line.substr(tab + 1))});
        } else if (line.starts_with("  ")) {
            out.push_back({Block::Kind::Example, opens, 0, "", std::string(line.substr(2))});
        } else if (!opens && !out.empty() && out.back().kind == Block::Kind::Prose) {
            out.back().text += " " + std::string(line);
        } else {
            out.push_back({Block::Kind::Prose, opens, 0, "", std::string(line)});
        }
        opens = false;
    }
    return out;
}

// Help text for the terminal: paragraphs wrapped to kWidth, list items in two columns.
std::string Terminal(std::string_view text) {
    std::string out;
    for (const Block& b : Blocks(text)) {
        if (b.opens && !out.empty()) out += "\n";
        switch (b.kind) {
            case Block::Kind::Prose:
                out += Wrap(b.text, 0, 0);
                break;
            case Block::Kind::Example:
                out += "  " + b.text + "\n";
                break;
            case Block::Kind::Item:
                out += Row(std::string(2 * b.depth, ' ') + b.name, b.text);
                break;
        }
    }
    return out;
}

// The names a usage line shows in capitals (KEY, FILE, N), which the man page underlines in the text too.
std::set<std::string> Placeholders(const CLI::App& regstore) {
    std::set<std::string> names;
    std::vector<const CLI::App*> apps{&regstore};
    for (const CLI::App* command : regstore.get_subcommands({})) apps.push_back(command);
    for (const CLI::App* app : apps) {
        for (const Argument& a : Arguments(*app)) names.insert(a.name);
        for (const CLI::Option* o : app->get_options())
            if (!o->get_positional() && o->get_expected_max() > 0) names.insert(o->get_type_name());
    }
    return names;
}

bool WordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// What an option's long name is spelled with: --json-lines.
bool OptionChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Text as scdoc reads it, its own markup characters escaped.
std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '*' || c == '_') out += '\\';
        out += c;
    }
    return out;
}

// Prose in scdoc: options in bold, the usage lines' names underlined.
std::string Marked(std::string_view text, const std::set<std::string>& placeholders) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const bool wordStart = i == 0 || (!WordChar(text[i - 1]) && text[i - 1] != '-');
        size_t end = i;
        if (wordStart && text.substr(i, 2) == "--" && i + 2 < text.size() && text[i + 2] >= 'a' && text[i + 2] <= 'z') {
            end = i + 2;
            while (end < text.size() && OptionChar(text[end])) ++end;
            out += "*" + std::string(text.substr(i, end - i)) + "*";
        } else if (wordStart && WordChar(text[i])) {
            while (end < text.size() && WordChar(text[end])) ++end;
            const std::string word(text.substr(i, end - i));
            out += placeholders.contains(word) ? "_" + word + "_" : Escaped(word);
        } else {
            out += Escaped(text.substr(i, 1));
            end = i + 1;
        }
        i = end;
    }
    return out;
}

// Help text for the man page (scdoc), each line after `indent`: examples in a block of their own,
// list items as a list.
std::string Scdoc(std::string_view text, const std::string& indent, const std::set<std::string>& placeholders) {
    std::string out;
    const Block* last = nullptr;
    const std::vector<Block> blocks = Blocks(text);
    for (const Block& b : blocks) {
        const bool fenced = last != nullptr && last->kind == Block::Kind::Example;
        if (last != nullptr && (b.opens || b.kind != last->kind)) {
            if (fenced) out += indent + "```\n";
            out += "\n";
        }
        switch (b.kind) {
            case Block::Kind::Prose:
                out += indent + Marked(b.text, placeholders) + "\n";
                break;
            case Block::Kind::Example:
                if (!fenced || b.opens) out += indent + "```\n";
                out += indent + Escaped(b.text) + "\n";
                break;
            case Block::Kind::Item:
                out += indent + std::string(b.depth - 1, '\t') + "- *" + Escaped(b.name) +
                       "*: " + Marked(b.text, placeholders) + "\n";
                break;
        }
        last = &b;
    }
    if (last != nullptr && last->kind == Block::Kind::Example) out += indent + "```\n";
    return out;
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
    return "Usage: " + Usage(command) + "\n\n" + Terminal(command.get_footer()) + "\nOptions:\n" + OptionRows(command);
}

class Help : public CLI::FormatterBase {
public:
    explicit Help(std::vector<Section> sections) : sections_(std::move(sections)) {}

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
        if (app->get_parent() != nullptr) return CommandHelp(*app);
        std::string text = RegstoreHelp(*app);
        if (mode == CLI::AppFormatMode::All)
            for (const CLI::App* command : app->get_subcommands({})) text += "\n" + CommandHelp(*command);
        return text;
    }

private:
    std::string RegstoreHelp(const CLI::App& regstore) const {
        const CLI::Option* store = regstore.get_option_no_throw("--store");
        const std::string storeUsage = store != nullptr ? OptionUsage(*store) + " " : "";
        std::string text = "Usage: regstore " + storeUsage + "COMMAND [ARGUMENTS]\n";
        if (const CLI::Option* help = regstore.get_help_ptr())
            text += "       regstore COMMAND " + LongName(*help) + "\n";
        for (const CLI::Option* o : regstore.get_options())
            if (Listed(regstore, o) || o == regstore.get_help_all_ptr())
                text += "       regstore " + LongName(*o) + "\n";
        text += "\n" + regstore.get_description() + "\n\nCommands:\n";
        for (const CLI::App* command : regstore.get_subcommands({}))
            text += Row("  " + CommandLine(*command), command->get_description());
        for (const Section& s : sections_) text += "\n" + s.title + ":\n" + Terminal(s.text);
        return text + "\nOptions:\n" + OptionRows(regstore);
    }

    std::vector<Section> sections_;
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

std::shared_ptr<CLI::FormatterBase> HelpFormatter(std::vector<Section> sections) {
    return std::make_shared<Help>(std::move(sections));
}

std::string HelpItem(size_t depth, std::string_view name, std::string_view about) {
    return std::string(depth, '\t') + std::string(name) + "\t" + std::string(about) + "\n";
}

std::string ManPage(const CLI::App& regstore, const std::vector<Section>& sections, std::istream& page) {
    const std::set<std::string> placeholders = Placeholders(regstore);
    std::string made = "# COMMANDS\n";
    for (const CLI::App* command : regstore.get_subcommands({}))
        made += "\n" + CommandLine(*command, {true}) + "\n" + Scdoc(command->get_footer(), "\t", placeholders);
    for (const Section& s : sections) {
        const std::string title = AsciiUpperText(std::string_view(s.title));
        made += "\n# " + title + "\n\n" + Scdoc(s.text, "", placeholders);
    }
    std::string out, line;
    bool placed = false;
    while (std::getline(page, line)) {
        if (line == kManPlace) {
            if (placed) throw InputError{"the man page has two places for the commands"};
            out += made;
            placed = true;
        } else {
            out += line + "\n";
        }
    }
    if (!placed) throw InputError{"the man page has no line \"" + std::string(kManPlace) + "\" for the commands"};
    return out;
}

}  // namespace regstore
