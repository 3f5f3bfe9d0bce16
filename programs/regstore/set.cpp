// regstore set: one value written, through the registry class where it carries the value as given.
#include "command.h"

#include "QxRegistry.h"
#include "text.h"
#include "utf16.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstring>
#include <memory>

namespace regstore {
namespace {

// The types in two columns: a list in the help's markup.
const char* const kAbout =
    "Writes one value, creating KEY when needed. TYPE and DATA:\n"
    "\tREG_SZ, REG_EXPAND_SZ\ttext\n"
    "\tREG_MULTI_SZ\tstrings separated by the two characters \\0\n"
    "\tREG_DWORD, REG_QWORD\ta number, decimal or 0x hex\n"
    "\tREG_BINARY, REG_NONE\ttwo hex digits per byte, commas and blanks allowed\n"
    "Text is kept whole in Unicode, whatever the characters.\n";

struct Options {
    std::string key, value, type, data;
};

constexpr DWORD kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};

// Whether the ANSI code page holds `text` whole, so that the A functions may carry it.
bool FitsAnsi(std::string_view text) {
    return AnsiToText(TextToAnsi(text)) == text;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
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

// The type --type names: CLI11 has matched it, in any case, to one of kTypes' names.
DWORD TypeArgument(const std::string& name) {
    for (DWORD t : kTypes)
        if (TypeName(t) == name) return t;
    return REG_NONE;
}

int Set(const Options& o) {
    const auto name = KeyArgument(o.key);
    const DWORD type = TypeArgument(o.type);
    const std::string& value = Whole(o.value, "--value");
    const bool text = IsStringType(type);
    if (text) Whole(o.data, "--data");
    // The registry class speaks the ANSI code page and takes a path whole: what it cannot carry
    // so (other characters, a longer path) goes through the W functions, whole.
    const bool viaClass = (text || type == REG_DWORD) && FitsAnsi(value) && FitsAnsi(name.path) &&
                          (!text || FitsAnsi(o.data)) && regfile::KeyPathFault(name.path, true).empty();
    const std::string bytes = ValueBytes(type, o.data, !viaClass);
    if (viaClass) {
        // The kinds the registry class writes go through it, in its representation.
        QxRegistry reg;
        if (!reg.CreateKey(name.path, name.root)) {
            // The class does not say why; the registry call does.
            HKEY h = nullptr;
            const LONG rc = RegCreateKeyExA(name.root, TextToAnsi(name.path).c_str(), 0, nullptr,
                                            REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &h, nullptr);
            if (rc == ERROR_SUCCESS) RegCloseKey(h);
            throw InputError{DisplayName(name) + ": cannot open the key for writing in the store " +
                             StoreOf(name.root) + ": " + ErrorText(rc, name.root, true)};
        }
        if (type == REG_SZ) reg.SetStringValue(value, o.data);
        else if (type == REG_EXPAND_SZ) reg.SetExpandStringValue(value, o.data);
        else if (type == REG_MULTI_SZ)
            reg.SetMultiStringValue(value, AnsiToText(std::string_view(bytes).substr(0, bytes.size() - 1)));
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

}  // namespace

Command AddSet(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "set", "write one value", kAbout);
    app.add_option("KEY", o->key)->required();
    app.add_option("--value", o->value)
        ->type_name("NAME")
        ->required()
        ->description("the value's name (\"\", the default value)");
    std::vector<std::string> types;
    for (DWORD t : kTypes) types.push_back(TypeName(t));
    app.add_option("--type", o->type)
        ->type_name("TYPE")
        ->required()
        ->transform(CLI::IsMember(types, CLI::ignore_case).description(""))
        ->description("the value's type");
    app.add_option("--data", o->data)->type_name("DATA")->required()->description("the value's data, as TYPE reads it");
    return {&app, [o] { return Set(*o); }};
}

}  // namespace regstore
