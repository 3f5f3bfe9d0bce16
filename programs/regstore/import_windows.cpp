// regstore import-windows: the registry of a Windows installation on a disk, into the store.
#include "command.h"

#include "Hive.h"
#include "Win9x.h"
#include "hive_store.h"

#include <CLI/CLI.hpp>

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] import-windows DIR [--codepage N]

Reads the registry of a Windows installation: DIR is the root of its volume (mounted
read-only, say) or its Windows/System32/config folder. The SOFTWARE hive becomes
HKLM\SOFTWARE and the SYSTEM hive HKLM\SYSTEM, in one transaction, with their logs
replayed; HKLM\SYSTEM\CurrentControlSet is made a copy of the control set that
SYSTEM's Select\Current names, as the running system sees it. Names in the path
are found without regard to case; of two hives whose names differ only in case,
the exact spelling is read, with a warning. Then the window (or regstore version)
shows that installation.

Windows 95, 98 and Me keep their registry in the Windows folder: DIR is then the
volume's root or that folder. SYSTEM.DAT becomes HKEY_LOCAL_MACHINE and USER.DAT
HKEY_USERS, in one transaction. Their names and text are in the code page that
--codepage N names (874, 932, 936, 949, 950, 1250 to 1258; 1252, Windows-1252,
without it), kept whole. A damaged file is refused by name, nothing imported; the
message names SYSTEM.DA0 or USER.DA0, the last good copy Windows 95 kept, if there.
)";

struct Options {
    std::vector<std::string> args;  // DIR
    std::optional<std::string> codepage;
};

// The code page --codepage names, Windows-1252 without it.
unsigned CodePageArgument(const std::optional<std::string>& text) {
    if (!text) return win9x::kDefaultCodePage;
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), n);
    if (ec != std::errc() || end != text->data() + text->size() || !win9x::KnownCodePage(n))
        throw UsageError{"--codepage " + *text + ": not a code page of Windows 95, 98 or Me (" +
                         win9x::KnownCodePages() + ")"};
    return n;
}

// A Windows 95, 98 or Me installation: its registry files, imported as one transaction.
int ImportWindows9x(const Context& context, const win9x::Registry& registry, unsigned codePage) {
    hivestore::ImportReport report;
    try {
        InHiveTransaction(context, [&] { report = hivestore::ImportWindows9x(registry, codePage); });
    } catch (const win9x::CregError& e) {
        throw InputError{std::string(e.what()) + "; nothing was imported"};
    }
    Warn(report.warnings);
    return kOk;
}

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

// The hive `name` in `folder`, found without regard to case (the exact spelling first), whatever
// kind of entry it is: reading it says what is wrong with it. Another entry of the same name in
// another case is named in a warning.
std::string FindHive(const std::string& folder, const char* name, std::vector<std::string>& warnings) {
    DIR* d = ::opendir(folder.c_str());
    if (d == nullptr) throw InputError{folder + ": " + std::strerror(errno)};
    std::vector<std::string> found;
    while (const dirent* e = ::readdir(d))
        if (::strcasecmp(e->d_name, name) == 0) found.emplace_back(e->d_name);
    ::closedir(d);
    if (found.empty()) return {};
    std::sort(found.begin(), found.end());
    const auto exact = std::find(found.begin(), found.end(), name);
    const std::string taken = exact != found.end() ? *exact : found.front();
    if (found.size() > 1) {
        std::string all;
        for (const auto& f : found) all += (all.empty() ? "" : " and ") + f;
        warnings.push_back(folder + ": " + all + " differ only in case; " + taken + " is read as the " + name +
                           " hive");
    }
    return folder + "/" + taken;
}

int ImportWindows(const Context& context, const Options& o) {
    const std::vector<std::string>& args = o.args;
    if (args.size() != 1) throw UsageError{"import-windows takes one DIR"};
    const unsigned codePage = CodePageArgument(o.codepage);
    std::string dir = args[0];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) throw InputError{dir + ": " + std::strerror(errno)};
    if (!S_ISDIR(st.st_mode)) throw InputError{dir + ": not a folder; name the Windows volume or its Windows/System32/config folder"};
    if (::access(dir.c_str(), R_OK | X_OK) != 0) throw InputError{dir + ": " + std::strerror(errno)};
    // Windows 95, 98 and Me keep their registry in the Windows folder: the volume's root names it.
    const std::string windows = FindEntry(dir, "Windows", true);
    if (auto registry = win9x::FindRegistry(dir)) return ImportWindows9x(context, *registry, codePage);
    if (auto registry = windows.empty() ? std::nullopt : win9x::FindRegistry(windows))
        return ImportWindows9x(context, *registry, codePage);
    if (o.codepage)
        throw UsageError{"--codepage is for Windows 95, 98 and Me, whose registry " + dir + " does not hold"};
    // The volume's root, or the config folder itself.
    std::string config = dir;
    if (FindEntry(dir, "SYSTEM", false).empty() && FindEntry(dir, "SOFTWARE", false).empty()) {
        config = dir;
        for (const char* part : {"Windows", "System32", "config"}) {
            const std::string parent = config;
            config = FindEntry(parent, part, true);
            if (config.empty())
                throw InputError{dir + ": no Windows/System32/config folder in it (nor SYSTEM and SOFTWARE hives): "
                                       "not a Windows volume"};
        }
    }
    std::array<std::string, 2> hives;
    const std::array<const char*, 2> names{"SOFTWARE", "SYSTEM"};
    std::vector<std::string> warnings;
    for (size_t i = 0; i < 2; ++i) {
        hives[i] = FindHive(config, names[i], warnings);
        if (hives[i].empty()) throw InputError{config + ": no " + names[i] + " hive in it"};
    }
    // CurrentControlSet is the running system's link to the control set in use, which only
    // Select\Current tells; it is made as a copy of that control set.
    hivestore::ImportOptions options;
    DWORD current = 0;
    try {
        if (hivestore::ReadTopLevelDword(hives[1], u"Select", u"Current", current)) {
            char name[32];
            std::snprintf(name, sizeof name, "ControlSet%03u", current);
            options.mirror = hivestore::Utf16(name);
            options.mirrorAs = u"CurrentControlSet";
        } else {
            warnings.push_back(hives[1] + ": no REG_DWORD Select\\Current: HKLM\\SYSTEM\\CurrentControlSet is not made");
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
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "import-windows", o->args);
    app.add_option("--codepage", o->codepage)->type_name("N");
    return {&app, kHelp, &o->args, [&context, o] { return ImportWindows(context, *o); }};
}

}  // namespace regstore
