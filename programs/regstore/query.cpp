// regstore query: a key's values and subkeys, or one value, as text.
#include "command.h"

#include "hex.h"

#include "text.h"
#include "utf16.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Shows the values of KEY, one a line as NAME, TYPE and data, then lists its subkeys; with
--value, only that value ("" is the default value, shown as (Default)). Strings show their text,
REG_MULTI_SZ strings are separated by \0, numbers are in 0x hex and other types as hex bytes.
)";

struct Options {
    std::string key;
    std::optional<std::string> value;
};

std::string ShowData(const regfile::StoredValue& v) {
    char buf[32];
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        std::memcpy(&d, v.data.data(), 4);
        std::snprintf(buf, sizeof buf, "0x%x", d);
        return buf;
    }
    if (v.type == REG_QWORD && v.data.size() == 8) {
        unsigned long long q = 0;
        std::memcpy(&q, v.data.data(), 8);
        std::snprintf(buf, sizeof buf, "0x%llx", q);
        return buf;
    }
    if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ) {
        std::u16string text = UnitsFromBytes(v.data);
        while (!text.empty() && text.back() == u'\0') text.pop_back();
        std::string shown;
        for (char c : Utf16ToWtf8(text)) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        return shown;
    }
    std::string hex;
    for (const unsigned char c : v.data) {
        hex += HexDigit(c >> 4, true);
        hex += HexDigit(c, true);
    }
    return hex;
}

int Query(const Options& o) {
    const auto name = KeyArgument(o.key);
    const Key key(name, KEY_READ);
    std::vector<regfile::StoredValue> values;
    if (const LONG rc = regfile::ReadValues(key.Get(), values); rc != ERROR_SUCCESS)
        throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    auto show = [](const regfile::StoredValue& v) {
        std::cout << "    " << (v.name.empty() ? std::string("(Default)") : v.name) << "    " << TypeName(v.type)
                  << "    " << ShowData(v) << "\n";
    };
    if (o.value) {
        const std::string wanted = FoldCase(*o.value);
        for (const auto& v : values)
            if (FoldCase(v.name) == wanted) {
                std::cout << DisplayName(name) << "\n";
                show(v);
                return kOk;
            }
        throw InputError{DisplayName(name) + ": no value named \"" + *o.value + "\""};
    }
    std::cout << DisplayName(name) << "\n";
    for (const auto& v : values) show(v);
    std::vector<std::string> children;
    if (const LONG rc = regfile::ReadSubKeyNames(key.Get(), children); rc != ERROR_SUCCESS)
        throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    if (!children.empty()) std::cout << "\n";
    for (const auto& child : children) std::cout << DisplayName(name) << "\\" << child << "\n";
    return kOk;
}

}  // namespace

Command AddQuery(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "query", "show the values and subkeys of KEY, or one value", kAbout);
    app.add_option("KEY", o->key)->required();
    app.add_option("--value", o->value)
        ->type_name("NAME")
        ->description("show only this value (\"\", the default value)");
    return {&app, [o] { return Query(*o); }};
}

}  // namespace regstore
