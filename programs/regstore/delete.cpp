// regstore delete: a key with everything under it, or one value.
#include "command.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Deletes KEY with everything under it, or with --value only that value ("" is the default
value). A root key cannot be deleted.
)";

struct Options {
    std::string key;
    std::optional<std::string> value;
};

int Delete(const Options& o) {
    const auto name = KeyArgument(o.key);
    if (o.value) {
        const Key key(name, KEY_SET_VALUE);
        const LONG rc = RegDeleteValueW(key.Get(), Wide(Whole(*o.value, "--value")).c_str());
        if (rc != ERROR_SUCCESS)
            throw InputError{DisplayName(name) + ": value \"" + *o.value + "\": " + ErrorText(rc, name.root)};
        return kOk;
    }
    if (name.path.empty()) throw InputError{DisplayName(name) + ": a root key cannot be deleted"};
    const LONG rc = RegDeleteTreeW(name.root, Wide(name.path).c_str());
    if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
    return kOk;
}

}  // namespace

Command AddDelete(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app =
        AddCommand(regstore, context, "delete", "delete KEY with everything under it, or one value", kAbout);
    app.add_option("KEY", o->key)->required();
    app.add_option("--value", o->value)
        ->type_name("NAME")
        ->description("delete only this value (\"\", the default value)");
    return {&app, [o] { return Delete(*o); }};
}

}  // namespace regstore
