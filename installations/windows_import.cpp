#include "windows_import.h"

#include "win9x.h"

#include "error_text.h"
#include "hive.h"
#include "hive_format.h"
#include "registry_store.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace installations {

namespace {

constexpr const char* kConfig = "System32/config/";
constexpr std::u16string_view kCurrentControlSet = u"CurrentControlSet";

// Where an installation is, for messages: the folder itself, or the image and the volume in it.
std::string Where(const disk::Source& source, const disk::Installation& installation) {
    if (installation.volume.fileSystem == "folder")
        return installation.folder.empty() ? source.Path() : source.Path() + "/" + installation.folder;
    return source.Path() + ", " + disk::Describe(installation);
}

// One hive of the installation, to be read into the store: whole (its bytes read now, with its
// logs) or a few keys on demand (its pages read while the store is written).
class InstallationHive {
public:
    InstallationHive(disk::Source& source, const disk::Installation& installation, const char* name, Extent extent,
                     const ReadProgress& progress)
        : relative_(std::string(kConfig) + name) {
        if (extent == Extent::Whole) {
            const disk::Progress each = progress ? disk::Progress([&](std::uint64_t done, std::uint64_t total) {
                progress(Where(source, installation) + ": " + relative_, done, total);
            })
                                                 : disk::Progress();
            whole_ = source.ReadHive(installation, relative_, each);
            if (!whole_) Missing(source, installation, name);
            return;
        }
        file_ = source.OpenFile(installation, relative_);
        if (!file_) Missing(source, installation, name);
        // The logs are read only when the primary file needs them, as they are then read whole.
        std::vector<std::uint8_t> base(std::min<std::uint64_t>(4096, file_->Size()));
        file_->ReadAt(0, base.data(), base.size());
        if (hive::NeedsLogs(base))
            for (const char* suffix : hive::format::kLogSuffixes)
                if (auto log = source.Read(installation, relative_ + suffix)) logs_.push_back(std::move(*log));
    }

    // A reader of the whole hive, or of the keys at `paths` (names below its root).
    hivestore::HiveReader Reader(std::vector<std::vector<std::u16string>> paths) const {
        if (whole_) {
            return [this](hive::Visitor& visitor) {
                std::vector<hive::NamedBytes> logs;
                for (const auto& log : whole_->logs) logs.push_back({log.name, log.bytes});
                return hive::ReadHive({whole_->primary.name, whole_->primary.bytes}, logs, visitor);
            };
        }
        return [this, paths = std::move(paths)](hive::Visitor& visitor) {
            std::vector<hive::NamedBytes> logs;
            for (const auto& log : logs_) logs.push_back({log.name, log.bytes});
            disk::FileReader& file = *file_;
            return hive::ReadHiveKeys(
                file.Name(), file.Size(),
                [&file](std::uint64_t offset, void* out, std::size_t length) { file.ReadAt(offset, out, length); },
                logs, paths, visitor);
        };
    }

    // The hive's name in messages.
    std::string Name() const { return whole_ ? whole_->primary.name : file_->Name(); }

private:
    [[noreturn]] static void Missing(const disk::Source& source, const disk::Installation& installation,
                                     const char* name) {
        throw disk::Error{Where(source, installation) + ": no " + name + " hive in System32/config"};
    }

    std::string relative_;
    std::optional<disk::HiveFiles> whole_;
    std::unique_ptr<disk::FileReader> file_;
    std::vector<disk::File> logs_;
};

// A Windows 95, 98 or Me installation: SYSTEM.DAT and USER.DAT, small files, read whole whatever the extent.
WindowsImport Import9xInstallation(disk::Source& source, const disk::Installation& installation, unsigned codePage,
                                   const ReadProgress& progress, const BuildingFile& building) {
    const auto read = [&](const char* name) {
        return source.Read(installation, name, [&](std::uint64_t done, std::uint64_t total) {
            if (progress) progress(Where(source, installation) + "/" + name, done, total);
        });
    };
    std::optional<disk::File> system = read("SYSTEM.DAT"), user = read("USER.DAT");
    if (!system) throw disk::Error{Where(source, installation) + ": no SYSTEM.DAT in it"};
    win9x::Registry registry;
    registry.system = {system->name, {}, std::span<const std::uint8_t>(system->bytes)};
    if (user) registry.user = {user->name, {}, std::span<const std::uint8_t>(user->bytes)};
    // Windows 95 kept the last good copies beside them: a refusal names them.
    for (auto [file, backup] : {std::pair{&registry.system, "SYSTEM.DA0"}, std::pair{&registry.user, "USER.DA0"}})
        if (!file->path.empty())
            if (auto reader = source.OpenFile(installation, backup)) file->backup = reader->Name();
    hivestore::ImportReport report;
    const LONG rc = RunInNewStore(
        HKEY_LOCAL_MACHINE,
        [&]() -> LONG {
            report = hivestore::ImportWindows9x(registry, codePage);
            return ERROR_SUCCESS;
        },
        building);
    if (rc != ERROR_SUCCESS) throw hivestore::StoreError(rc, hivestore::RegistryErrorText(rc));
    return {std::move(report.warnings)};
}

}  // namespace

WindowsImport ImportWindows(disk::Source& source, const disk::Installation& installation, Extent extent,
                            const ReadProgress& progress, unsigned codePage, const WriteProgressOf& writing,
                            const BuildingFile& building) {
    if (installation.kind == disk::InstallationKind::Win9x)
        return Import9xInstallation(source, installation, codePage, progress, building);
    const InstallationHive software(source, installation, "SOFTWARE", extent, progress);
    const InstallationHive system(source, installation, "SYSTEM", extent, progress);

    // CurrentControlSet is the running system's link to the control set in use, which only
    // Select\Current tells; it is made as a copy of that control set.
    WindowsImport result;
    hivestore::ImportOptions options;
    DWORD current = 0;
    if (hivestore::ReadTopLevelDword(system.Reader({{u"Select"}}), u"Select", u"Current", current)) {
        char name[32];
        std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(current));
        options.mirror = hivestore::Utf16(name);
        options.mirrorAs = std::u16string(kCurrentControlSet);
    } else {
        result.warnings.push_back(system.Name() +
                                  ": no REG_DWORD Select\\Current: HKLM\\SYSTEM\\CurrentControlSet is not made");
    }
    std::vector<std::vector<std::u16string>> softwareKeys, systemKeys;
    std::vector<VersionKey> keys = kVersionKeys;
    if (extent == Extent::Details) keys.insert(keys.end(), kDetailKeys.begin(), kDetailKeys.end());
    for (const auto& key : keys) {
        auto names = SplitKeyPath(key.path);
        if (std::u16string_view(key.hive) == u"SOFTWARE") {
            softwareKeys.push_back(std::move(names));
        } else {
            // Without Select\Current, the hive's own CurrentControlSet is read, as a whole import keeps it.
            if (!options.mirror.empty() && names.front() == kCurrentControlSet) names.front() = options.mirror;
            systemKeys.push_back(std::move(names));
        }
    }

    hivestore::ImportReport softwareReport, systemReport;
    const auto writingOf = [&](const std::string& name) {
        return writing ? hivestore::WriteProgress([&writing, name](std::uint64_t written, std::uint64_t read) {
            writing(name, written, read);
        })
                       : hivestore::WriteProgress();
    };
    hivestore::ImportOptions softwareOptions;
    softwareOptions.writing = writingOf(software.Name());
    options.writing = writingOf(system.Name());
    const LONG rc = RunInNewStore(
        HKEY_LOCAL_MACHINE,
        [&]() -> LONG {
            softwareReport = hivestore::ImportTree(software.Name(), software.Reader(softwareKeys), HKEY_LOCAL_MACHINE,
                                                   u"SOFTWARE", softwareOptions);
            systemReport =
                hivestore::ImportTree(system.Name(), system.Reader(systemKeys), HKEY_LOCAL_MACHINE, u"SYSTEM", options);
            return ERROR_SUCCESS;
        },
        building);
    if (rc != ERROR_SUCCESS) throw hivestore::StoreError(rc, hivestore::RegistryErrorText(rc));
    for (auto* report : {&softwareReport, &systemReport}) {
        const std::string& name = report == &softwareReport ? software.Name() : system.Name();
        for (auto& w : report->warnings) result.warnings.push_back(w.rfind("the hive", 0) == 0 ? name + ": " + w : w);
    }
    return result;
}

const disk::Installation* OnlyInstallation(const disk::Source& source) {
    const auto& all = source.Installations();
    if (all.size() == 1) return &all.front();
    // An earlier Windows that an upgrade kept is no choice beside the one in use.
    const auto inUse = [](const disk::Installation& i) { return !i.earlier; };
    if (std::count_if(all.begin(), all.end(), inUse) == 1) return &*std::find_if(all.begin(), all.end(), inUse);
    return nullptr;
}

const disk::Installation& ChooseInstallation(const disk::Source& source, std::optional<unsigned> number) {
    const auto& all = source.Installations();
    std::string list = ListInstallations(source);
    list.pop_back();  // the message's last line ends where the caller ends it
    if (number) {
        if (*number >= 1 && *number <= all.size()) return all[*number - 1];
        throw ChoiceError{source.Path() + ": no installation " + std::to_string(*number) + "; it holds " +
                          std::to_string(all.size()) + ":\n" + list};
    }
    if (const disk::Installation* only = OnlyInstallation(source)) return *only;
    throw ChoiceError{source.Path() + ": " + std::to_string(all.size()) +
                      " installations; choose one with --installation N:\n" + list};
}

std::string ListInstallations(const disk::Source& source) {
    std::string lines;
    unsigned n = 0;
    for (const auto& installation : source.Installations())
        lines += "  " + std::to_string(++n) + "  " + disk::Describe(installation) + "\n";
    return lines;
}

}  // namespace installations
