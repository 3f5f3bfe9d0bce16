// regstore import-windows: the registry of a Windows installation on a folder, disk image or block
// device, into the store.
#include "command.h"

#include "Hive.h"
#include "hive_store.h"
#include "progress_line.h"
#include "windows_import.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] import-windows SOURCE [--installation N]

Reads the registry of a Windows installation. SOURCE is a folder (the root of a
mounted volume, an installation's folder or its System32/config folder), a disk
image file (raw, VHD, VHDX, VMDK, QCOW2 with its backing files, E01) or a block
device, read-only; an image is told by its content, whatever its name. The
SOFTWARE hive becomes HKLM\SOFTWARE and the SYSTEM hive HKLM\SYSTEM, in one
transaction, with their logs replayed; HKLM\SYSTEM\CurrentControlSet is made a
copy of the control set that SYSTEM's Select\Current names, as the running
system sees it. Names in the path are found without regard to case. Then the
window (or regstore version) shows that installation.

When SOURCE holds several installations, --installation N chooses one, numbered
from 1 as list-windows lists them (by partition, then by folder name); without
it nothing is imported, the installations are listed and the status is 1.
)";

struct Options {
    std::vector<std::string> args;  // SOURCE
    std::optional<unsigned> installation;
};

int ImportWindows(const Context& context, const Options& o) {
    if (o.args.size() != 1) throw UsageError{"import-windows takes one SOURCE"};
    if (o.installation && *o.installation == 0) throw UsageError{"--installation counts from 1"};
    try {
        const auto source = disk::Source::Open(o.args[0]);
        Warn(source->Warnings());
        const disk::Installation& installation = hivestore::ChooseInstallation(*source, o.installation);
        hivestore::ProgressLine progress("regstore", stderr, hivestore::ProgressLine::IsTerminal(stderr));
        const auto result =
            hivestore::ImportWindows(*source, installation, hivestore::Extent::Whole, std::ref(progress));
        progress.Clear();
        Warn(result.warnings);
    } catch (const disk::Error& e) {
        throw InputError{e.what()};
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    } catch (const hivestore::ChoiceError& e) {
        throw InputError{e.what()};
    } catch (const hivestore::StoreError& e) {
        throw InputError{"cannot write the store " + context.store + ": " + e.what()};
    }
    return kOk;
}

}  // namespace

Command AddImportWindows(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "import-windows", o->args);
    app.add_option("--installation", o->installation)->type_name("N");
    return {&app, kHelp, &o->args, [&context, o] { return ImportWindows(context, *o); }};
}

}  // namespace regstore
