// regstore delete: a key with everything under it, or one value.
#include "command.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] delete KEY [--value NAME]

Deletes KEY with everything under it, or with --value only that value ("" is the
default value). A root key cannot be deleted.
)";

struct Options {
    std::vector<std::string> args;  // KEY
    std::optional<std::string> value;
};

int Delete(const Options& o) {
    if (o.args.size() != 1) throw UsageError{"delete takes one KEY"};
    const auto name = KeyArgument(o.args[0]);
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
    CLI::App& app = AddCommand(regstore, context, "delete", o->args);
    app.add_option("--value", o->value)->type_name("NAME");
    return {&app, kHelp, &o->args, [o] { return Delete(*o); }};
}

}  // namespace regstore
