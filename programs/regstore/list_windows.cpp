// regstore list-windows: the Windows installations on a folder, disk image or block device, and
// which Windows each is, without touching the store.
#include "command.h"

#include "hive.h"
#include "hive_store.h"
#include "inventory.h"
#include "inventory_json.h"
#include "memory_registry.h"
#include "win9x.h"
#include "windows_import.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>

namespace regstore {
namespace {

const char* const kAbout = R"(Lists the Windows installations on SOURCE, one line each: its number, the volume
(partition number, file system, label and offset), the folder, the version code
the window's caption would show, and the product name. Windows 11, whose registry
still says "Windows 10", is named so for a workstation of build 22000 or later;
the code stays as the window computes it (19).

SOURCE is a folder (the root of a mounted volume, an installation's folder or its
System32/config folder), a disk image file (raw, VHD, VHDX, VMDK, QCOW2 with its
backing files, E01) or a block device, read-only. Only the few keys that tell the
version are read from each hive, into memory: nothing is written, the store is not
touched.

An earlier Windows that an in-place upgrade kept (Windows.old\WINDOWS) is listed
after the one in use on its volume, and marked so.

With --json, a JSON array, one object per installation: installation, partition,
offset, fileSystem, label, folder, earlier (true for an earlier Windows kept by an
upgrade), name (the product name as the line shows it),
the six values regstore version prints (Caption, MajorVersion, MinorVersion,
CSDVersion, ProductType, ProductName), CurrentBuildNumber, UBR, release
(DisplayVersion, else ReleaseId), EditionID, installDate (UTC), computerName and
architecture (PROCESSOR_ARCHITECTURE); null for what the registry lacks. An
installation whose registry cannot be read has an "error" instead of the values.
)";

struct Options {
    std::string source;
    bool json = false;
};

using Listed = hivestore::Listing;

// The version keys read into a registry in memory, and read back as the window reads them: nothing
// is written anywhere.
Listed Inspect(disk::Source& source, const disk::Installation& installation) {
    Listed listed;
    try {
        const ScopedMemoryRegistry inMemory;
        // What the import says is about that registry, which goes.
        hivestore::ImportWindows(source, installation, hivestore::Extent::VersionKeys);
        listed.window = WindowValues();
        listed.inventory = hivestore::ReadInventory();
    } catch (const disk::Error& e) {
        listed.error = e.what();
    } catch (const hive::HiveError& e) {
        listed.error = e.what();
    } catch (const win9x::CregError& e) {
        listed.error = e.what();
    } catch (const hivestore::StoreError& e) {
        listed.error = e.what();
    }
    if (listed.error.empty()) {
        std::string productType, build = listed.inventory.currentBuildNumber.value_or("");
        for (const auto& [label, value] : listed.window)
            if (label == "ProductType") productType = value;
        listed.name = hivestore::ProductNameShown(listed.inventory.productName.value_or(""), productType, build);
    }
    return listed;
}

void PrintJson(const disk::Installation& installation, unsigned number, const Listed& listed, bool last) {
    std::cout << "  " << hivestore::JsonText(hivestore::InstallationJson(installation, number, listed))
              << (last ? "" : ",") << "\n";
}

int ListWindows(const Options& o) {
    std::unique_ptr<disk::Source> source;
    try {
        source = disk::Source::Open(o.source);
    } catch (const disk::Error& e) {
        throw InputError{e.what()};
    }
    Warn(source->Warnings());
    const auto& all = source->Installations();
    bool failed = false;
    if (o.json) std::cout << "[\n";
    for (size_t i = 0; i < all.size(); ++i) {
        const Listed listed = Inspect(*source, all[i]);
        failed = failed || !listed.error.empty();
        const unsigned number = static_cast<unsigned>(i + 1);
        if (o.json) {
            PrintJson(all[i], number, listed, i + 1 == all.size());
        } else {
            std::cout << number << "  " << disk::Describe(all[i]) << "  ";
            if (!listed.error.empty()) std::cout << "(cannot be read: " << listed.error << ")\n";
            else std::cout << listed.window.front().second << "  " << listed.name << "\n";
        }
        std::cout.flush();
    }
    if (o.json) std::cout << "]\n";
    return failed ? kBadInput : kOk;
}

}  // namespace

Command AddListWindows(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app = AddCommand(regstore, context, "list-windows", "list the Windows installations on SOURCE", kAbout);
    // It touches no store: --store is taken, as by every command, but not shown.
    app.get_option("--store")->group("");
    app.add_option("SOURCE", o->source)->required();
    app.add_flag("--json", o->json)->disable_flag_override()->description("a JSON array, one object per installation");
    return {&app, [o] { return ListWindows(*o); }};
}

}  // namespace regstore
