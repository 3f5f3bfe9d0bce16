// A Windows 95, 98 or Me installation read out of a disk source (a folder, a FAT volume in an image)
// into the store.
#include "Disk.h"
#include "hive_store.h"
#include "registry_store.h"

namespace hivestore {

ImportReport ImportWindows9x(disk::Source& source, const disk::Installation& installation, unsigned codePage) {
    const auto system = source.Read(installation, "SYSTEM.DAT");
    if (!system) throw disk::Error(source.Path() + ": " + disk::Describe(installation) + ": no SYSTEM.DAT in it");
    const auto user = source.Read(installation, "USER.DAT");
    win9x::Registry registry{{system->name, {}, system->bytes}, {}};
    if (user) registry.user = {user->name, {}, user->bytes};
    ImportReport report;
    try {
        const LONG rc = RunInStoreTransaction([&]() -> LONG {
            report = ImportWindows9x(registry, codePage);
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) throw StoreError(rc, "registry error " + std::to_string(rc));
    } catch (const win9x::CregError& e) {
        // The copy of the last good state is looked for only now: most installations are sound.
        const bool systemAtFault = std::string(e.what()).rfind(system->name + ": ", 0) == 0;
        const auto backup = source.OpenFile(installation, systemAtFault ? "SYSTEM.DA0" : "USER.DA0");
        if (!backup) throw;
        throw win9x::CregError(e.what() + win9x::BackupNote(backup->Name()));
    }
    return report;
}

}  // namespace hivestore
