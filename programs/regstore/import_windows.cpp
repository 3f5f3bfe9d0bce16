// regstore import-windows: the registry of a Windows installation on a disk, into the store.
#include "command.h"

#include "Hive.h"
#include "hive_store.h"

#include <CLI/CLI.hpp>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] import-windows DIR

Reads the registry of a Windows installation: DIR is the root of its volume (mounted
read-only, say) or its Windows/System32/config folder. The SOFTWARE hive becomes
HKLM\SOFTWARE and the SYSTEM hive HKLM\SYSTEM, in one transaction, with their logs
replayed; HKLM\SYSTEM\CurrentControlSet is made a copy of the control set that
SYSTEM's Select\Current names, as the running system sees it. Names in the path
are found without regard to case. Then the window (or regstore version) shows
that installation.
)";

// The entry of `folder` named `name` without regard to case (the exact spelling first), or "".
std::string FindEntry(const std::string& folder, const char* name, bool wantFolder) {
    const auto isKind = [&](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && (wantFolder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode));
    };
    if (isKind(folder + "/" + name)) return folder + "/" + name;
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) return {};
    std::string found;
    while (const dirent* e = ::readdir(d)) {
        if (::strcasecmp(e->d_name, name) == 0 && isKind(folder + "/" + e->d_name)) {
            found = folder + "/" + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

int ImportWindows(const Context& context, const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError{"import-windows takes one DIR"};
    std::string dir = args[0];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw InputError{dir + ": " + std::strerror(errno)};
    if (!S_ISDIR(st.st_mode))
        throw InputError{dir + ": not a folder; name the Windows volume or its Windows/System32/config folder"};
    // The volume's root, or the config folder itself.
    std::string config = dir;
    if (FindEntry(dir, "SYSTEM", false).empty() && FindEntry(dir, "SOFTWARE", false).empty()) {
        config = dir;
        for (const char* part : {"Windows", "System32", "config"}) {
            const std::string parent = config;
            config = FindEntry(parent, part, true);
            if (config.empty() && !FindEntry(parent, "SYSTEM.DAT", false).empty())
                throw InputError{parent +
                                 ": a Windows 95, 98 or Me registry (SYSTEM.DAT and USER.DAT), which is "
                                 "not held in hives; import-windows reads Windows NT, 2000 and later"};
            if (config.empty())
                throw InputError{dir +
                                 ": no Windows/System32/config folder in it (nor SYSTEM and SOFTWARE hives): "
                                 "not a Windows volume"};
        }
    }
    std::array<std::string, 2> hives;
    const std::array<const char*, 2> names{"SOFTWARE", "SYSTEM"};
    for (size_t i = 0; i < 2; ++i) {
        hives[i] = FindEntry(config, names[i], false);
        if (hives[i].empty()) throw InputError{config + ": no " + names[i] + " hive in it"};
        if (!hivestore::IsHiveFile(hives[i]))
            throw InputError{hives[i] + ": not a registry hive (it does not start with \"regf\")"};
    }
    // CurrentControlSet is the running system's link to the control set in use, which only
    // Select\Current tells; it is made as a copy of that control set.
    hivestore::ImportOptions options;
    DWORD current = 0;
    std::vector<std::string> warnings;
    try {
        if (hivestore::ReadTopLevelDword(hives[1], u"Select", u"Current", current)) {
            char name[32];
            std::snprintf(name, sizeof name, "ControlSet%03u", current);
            options.mirror = hivestore::Utf16(name);
            options.mirrorAs = u"CurrentControlSet";
        } else {
            warnings.push_back(hives[1] +
                               ": no REG_DWORD Select\\Current: HKLM\\SYSTEM\\CurrentControlSet is not made");
        }
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    }
    hivestore::ImportReport software, system;
    InHiveTransaction(context, [&] {
        software = hivestore::ImportHive(hives[0], HKEY_LOCAL_MACHINE, u"SOFTWARE");
        system = hivestore::ImportHive(hives[1], HKEY_LOCAL_MACHINE, u"SYSTEM", options);
    });
    Warn(warnings);
    Warn(software.warnings);
    for (auto& w : system.warnings)
        if (w.rfind("the hive", 0) == 0) w = hives[1] + ": " + w;
    Warn(system.warnings);
    return kOk;
}

}  // namespace

Command AddImportWindows(CLI::App& regstore, Context& context) {
    auto args = std::make_shared<std::vector<std::string>>();
    CLI::App& app = AddCommand(regstore, context, "import-windows", *args);
    return {&app, kHelp, args.get(), [&context, args] { return ImportWindows(context, *args); }};
}

}  // namespace regstore
