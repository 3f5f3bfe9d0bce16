// The helpers the commands share: keys from the command line, registry errors in words, and the
// store transaction that hive imports run in.
#include "command.h"
#include "pending_temp.h"

#include "error_text.h"
#include "hive.h"
#include "hive_store.h"
#include "registry_store.h"
#include "utf16.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace regstore {

void AddCommonOptions(CLI::App& app, Context& context) {
    app.add_option_function<std::string>("--store",
                                         [&context](const std::string& path) {
                                             context.store = path;
                                             context.storeGiven = true;
                                         })
        ->type_name("PATH")
        ->description(
            "keep every root, HKCU included, in this store instead of the program's; its folder "
            "must exist, the file is made on the first write");
}

CLI::App& AddCommand(CLI::App& regstore, Context& context, const char* name, const char* summary,
                     const std::string& about) {
    CLI::App& app = *regstore.add_subcommand(name, summary);
    app.footer(about);
    AddCommonOptions(app, context);
    // What the command does not take is kept, and named in the usage error that follows.
    app.allow_extras();
    return app;
}

std::string StoreOf(HKEY root) {
    return root == HKEY_CURRENT_USER ? UserRegistryStorePath() : RegistryStorePath();
}

std::string ErrorText(LONG rc, HKEY root, bool storeNamed) {
    if (rc == ERROR_ACCESS_DENIED && root == HKEY_CURRENT_USER) {
        const std::string why = UserRegistryStoreRefusal();
        if (!why.empty())
            return "access denied: " + (storeNamed ? std::string("the store") : "the store " + StoreOf(root)) +
                   " is not used, as " + why;
    }
    return ErrorText(rc);
}

std::string ErrorText(LONG rc) {
    return hivestore::RegistryErrorText(rc);
}

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "0x" + [&] {
                char buf[16];
                std::snprintf(buf, sizeof buf, "%x", type);
                return std::string(buf);
            }();
    }
}

std::u16string Wide(std::string_view text) {
    return Wtf8ToUtf16(text);
}

const std::string& Whole(const std::string& text, const std::string& what) {
    if (Utf16ToWtf8(Wide(text)) != text) throw InputError{what + ": text that is not UTF-8"};
    return text;
}

regfile::KeyName KeyArgument(const std::string& text) {
    auto key = regfile::ParseKeyName(text);
    if (!key) {
        const bool rootKnown = regfile::ParseKeyName(text.substr(0, text.find('\\'))).has_value();
        throw UsageError{"not a registry key: " + text +
                         (rootKnown ? " (a key path with an empty part)" : " (it must start with a root key)")};
    }
    Whole(key->path, text);
    const std::string fault = regfile::KeyPathFault(key->path);
    if (!fault.empty()) throw InputError{text + ": " + fault};
    return *key;
}

std::string DisplayName(const regfile::KeyName& key) {
    std::string name(regfile::RootName(key.root));
    return key.path.empty() ? name : name + "\\" + key.path;
}

std::u16string KeyPath16(const regfile::KeyName& key) {
    return Wide(key.path);
}

std::optional<unsigned> Number(const std::string& text) {
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

void Warn(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) std::cerr << "regstore: warning: " << w << "\n";
}

void InHiveTransaction(const Context& context, HKEY root, const std::function<void()>& body) {
    LONG rc = ERROR_SUCCESS;
    PendingTemp building;
    try {
        rc = RunInNewStore(
            root,
            [&]() -> LONG {
                body();
                return ERROR_SUCCESS;
            },
            [&building](const std::string& path) { building.Follow(path); });
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    } catch (const hivestore::StoreError& e) {
        throw InputError{"cannot write the store " + context.store + ": " + e.what()};
    }
    if (rc != ERROR_SUCCESS) throw InputError{"cannot write the store " + context.store + ": " + ErrorText(rc)};
}

Key::Key(const regfile::KeyName& name, REGSAM access) {
    const LONG rc = regfile::OpenPath(name.root, name.path, access, h_);
    if (rc != ERROR_SUCCESS) throw InputError{DisplayName(name) + ": " + ErrorText(rc, name.root)};
}

Key::~Key() {
    RegCloseKey(h_);
}

}  // namespace regstore
