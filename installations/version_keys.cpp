#include "version_keys.h"

#include "ascii.h"
#include "registry_paths.h"

#include <algorithm>

namespace installations {
namespace {

namespace paths = registry_paths;
constexpr paths::KeyPath kAnySubkey{"*"};
constexpr auto kAnyProfile = paths::Below(paths::kProfileList, kAnySubkey);
constexpr auto kAnyHotFix = paths::Below(paths::kHotFix, kAnySubkey);
constexpr auto kAnyPackage = paths::Below(paths::kServicingPackages, kAnySubkey);
constexpr auto kAnyInterface = paths::Below(paths::kTcpipInterfaces, kAnySubkey);

constexpr const char16_t* kSoftware = paths::kSoftwareHive.wide;
constexpr const char16_t* kSystem = paths::kSystemHive.wide;

// Whether `path` is `key` below `hive`.
bool Is(std::u16string_view path, std::u16string_view hive, std::u16string_view key) {
    return path.size() == hive.size() + 1 + key.size() && EqualsAsciiFolded(path.substr(0, hive.size()), hive) &&
           path[hive.size()] == u'\\' && EqualsAsciiFolded(path.substr(hive.size() + 1), key);
}

bool Covers(const VersionKey& key, std::u16string_view path) {
    const std::u16string_view named = key.path;
    if (!named.ends_with(u"\\*")) return Is(path, key.hive, named);
    const std::u16string_view parent = named.substr(0, named.size() - 2);
    if (Is(path, key.hive, parent)) return true;
    const std::size_t slash = path.rfind(u'\\');
    return slash != std::u16string_view::npos && slash + 1 < path.size() && Is(path.substr(0, slash), key.hive, parent);
}

}  // namespace

const std::vector<VersionKey> kVersionKeys = {
    {kSoftware, paths::kNtCurrentVersion.wide}, {kSoftware, paths::kCurrentVersion.wide},
    {kSystem, paths::kWindowsControl.wide},     {kSystem, paths::kProductOptions.wide},
    {kSystem, paths::kComputerName.wide},       {kSystem, paths::kEnvironment.wide},
};

const std::vector<VersionKey> kDetailKeys = {
    {kSoftware, paths::kWinlogon.wide}, {kSoftware, kAnyProfile.wide},    {kSoftware, kAnyHotFix.wide},
    {kSoftware, kAnyPackage.wide},      {kSystem, paths::kTimeZone.wide}, {kSystem, paths::kLanguage.wide},
    {kSystem, paths::kLocale.wide},     {kSystem, paths::kTcpip.wide},    {kSystem, kAnyInterface.wide},
};

bool Imported(std::u16string_view path) {
    const auto covers = [&](const VersionKey& key) { return Covers(key, path); };
    return std::any_of(kVersionKeys.begin(), kVersionKeys.end(), covers) ||
           std::any_of(kDetailKeys.begin(), kDetailKeys.end(), covers);
}

std::vector<std::u16string> SplitKeyPath(std::u16string_view path) {
    std::vector<std::u16string> names;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find(u'\\', at), path.size());
        if (end > at) names.emplace_back(path.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

}  // namespace installations
