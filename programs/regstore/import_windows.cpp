// regstore import-windows: the registry of a Windows installation on a folder, disk image or block
// device, into the store.
#include "command.h"
#include "pending_temp.h"

#include "hive.h"
#include "hive_store.h"
#include "progress_line.h"
#include "win9x.h"
#include "windows_import.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iostream>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Reads the registry of a Windows installation. SOURCE is a folder (the root of a mounted
volume, an installation's folder or its Windows/System32/config folder; names found without regard
to case), a disk image file (raw, VHD, VHDX, VMDK, QCOW2 with its backing files, E01; told by its
content, whatever its name) or a block device, read-only and without root. The SOFTWARE hive
becomes HKLM\SOFTWARE and the SYSTEM hive HKLM\SYSTEM, in one transaction, with their logs
replayed; HKLM\SYSTEM\CurrentControlSet is made a copy of the control set that SYSTEM's
Select\Current names, as the running system sees it. Then the window (or regstore version) shows
that installation.

When SOURCE holds several installations, --installation N chooses one, numbered from 1 as
list-windows lists them (by partition, then by folder name); without it nothing is imported, the
installations are listed and the exit status is 1. An earlier Windows that an upgrade kept in
Windows.old is no choice beside the one in use, which is imported. A read or a write that takes
more than a second shows its progress on a terminal: bytes read, then keys written of keys read.

Windows 95, 98 and Me keep their registry in the Windows folder, in SYSTEM.DAT and USER.DAT: SOURCE
is then that folder, the root of its volume, or an image of a FAT volume. SYSTEM.DAT replaces
HKEY_LOCAL_MACHINE and USER.DAT HKEY_USERS, in one transaction; without USER.DAT (a partial copy, a
damaged disk) SYSTEM.DAT alone is read, and a warning says HKEY_USERS is left empty. Their names and
text are bytes of the code page that --codepage N names: 874, 932, 936, 949, 950 or 1250 to 1258
(1252, Windows-1252, without it); they are kept whole in the store. A damaged or cut-off file is
refused with its name, the offset and the fault, and nothing is imported; the message names
SYSTEM.DA0 or USER.DA0, the last good copy Windows 95 kept, when it lies beside it.
)";

struct Options {
    std::string source;
    std::optional<unsigned> installation;
    std::optional<unsigned> codepage;
};

// --installation N: installations are numbered from 1, as list-windows lists them.
const CLI::Validator kInstallationNumber(
    [](const std::string& text) -> std::string {
        const auto n = Number(text);
        if (!n) return text + " is not a number";
        return *n == 0 ? "installations are numbered from 1" : "";
    },
    "");

// --codepage N: one of the code pages Windows 95, 98 and Me were made for.
const CLI::Validator kCodePage(
    [](const std::string& text) -> std::string {
        const auto n = Number(text);
        if (n && win9x::KnownCodePage(*n)) return "";
        return text + " is not a code page of Windows 95, 98 or Me (" + win9x::KnownCodePages() + ")";
    },
    "");

int ImportWindows(const Context& context, const Options& o) {
    const unsigned codePage = o.codepage.value_or(win9x::kDefaultCodePage);
    try {
        const auto source = disk::Source::Open(o.source);
        Warn(source->Warnings());
        const disk::Installation& installation = installations::ChooseInstallation(*source, o.installation);
        if (o.codepage && installation.kind != disk::InstallationKind::Win9x)
            throw UsageError{"--codepage is for Windows 95, 98 and Me, whose registry " + o.source + " does not hold"};
        output::ProgressLine progress("regstore", stderr, output::ProgressLine::IsTerminal(stderr));
        PendingTemp building;
        const auto result = installations::ImportWindows(
            *source, installation, installations::Extent::Whole, std::ref(progress), codePage,
            [&progress](const std::string& file, std::uint64_t written, std::uint64_t read) {
                progress.Written(file, written, read);
            },
            [&building](const std::string& path) { building.Follow(path); });
        progress.Clear();
        Warn(result.warnings);
    } catch (const disk::Error& e) {
        throw InputError{e.what()};
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    } catch (const win9x::CregError& e) {
        throw InputError{std::string(e.what()) + "; nothing was imported"};
    } catch (const installations::ChoiceError& e) {
        throw InputError{e.what()};
    } catch (const hivestore::StoreError& e) {
        throw InputError{"cannot write the store " + context.store + ": " + e.what()};
    }
    return kOk;
}

}  // namespace

Command AddImportWindows(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app =
        AddCommand(regstore, context, "import-windows",
                   "read the registry of a Windows installation on a folder, disk image or block device", kAbout);
    app.add_option("SOURCE", o->source)->required();
    app.add_option("--installation", o->installation)
        ->type_name("N")
        ->check(kInstallationNumber)
        ->description("the installation to import, numbered as list-windows lists them");
    app.add_option("--codepage", o->codepage)
        ->type_name("N")
        ->check(kCodePage)
        ->description("the code page of a Windows 95, 98 or Me registry (1252 without it)");
    return {&app, [&context, o] { return ImportWindows(context, *o); }};
}

}  // namespace regstore
