// A Windows 95, 98 or Me registry into the store: its two files read as hives are, each into the
// root it stands for.
#include "hive_store.h"

namespace hivestore {

ImportReport ImportWindows9x(const win9x::Registry& registry, unsigned codePage) {
    ImportReport report;
    for (const auto& [file, root] :
         {std::pair{&registry.system, HKEY_LOCAL_MACHINE}, std::pair{&registry.user, HKEY_USERS}}) {
        // Without USER.DAT the users' keys of an installation imported before go all the same.
        const ImportReport one = ImportTree(
            file->path.empty() ? registry.system.path : file->path,
            [&, file = file](hive::Visitor& v) {
                if (file->path.empty()) {
                    v.BeginKey(u"", u"", 0);
                    v.EndKey();
                } else {
                    win9x::ReadRegistryFile(*file, v, codePage);
                }
                return hive::ReadReport{};
            },
            root, u"");
        report.keys += one.keys;
        report.values += one.values;
        report.warnings.insert(report.warnings.end(), one.warnings.begin(), one.warnings.end());
    }
    if (registry.user.path.empty())
        report.warnings.push_back(registry.system.path.substr(0, registry.system.path.rfind('/')) +
                                  ": no USER.DAT beside SYSTEM.DAT: HKEY_USERS is left empty");
    return report;
}

}  // namespace hivestore
