// regstore import-windows: the registry of a Windows installation on a folder, disk image or block
// device, into the store.
#include "command.h"

#include "Hive.h"
#include "Win9x.h"
#include "hive_store.h"
#include "progress_line.h"
#include "windows_import.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iostream>
#include <memory>
#include <optional>

namespace regstore {
namespace {

const char* const kHelp = R"(Usage: regstore [--store PATH] import-windows SOURCE [--installation N] [--codepage N]

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
it nothing is imported, the installations are listed and the status is 1. An
earlier Windows that an upgrade kept in Windows.old is no choice beside the one
in use, which is imported. A read that takes more than a second shows its
progress on a terminal.

Windows 95, 98 and Me keep their registry in the Windows folder (SOURCE may be
that folder, the root of its volume, or an image of a FAT volume). SYSTEM.DAT
becomes HKEY_LOCAL_MACHINE and USER.DAT HKEY_USERS, in one transaction. Their
names and text are in the code page that --codepage N names (874, 932, 936, 949,
950, 1250 to 1258; 1252, Windows-1252, without it), kept whole. A damaged file is
refused by name, nothing imported; the message names SYSTEM.DA0 or USER.DA0, the
last good copy Windows 95 kept, if there.
)";

struct Options {
    std::vector<std::string> args;  // SOURCE
    std::optional<unsigned> installation;
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

int ImportWindows(const Context& context, const Options& o) {
    if (o.args.size() != 1) throw UsageError{"import-windows takes one SOURCE"};
    if (o.installation && *o.installation == 0) throw UsageError{"--installation counts from 1"};
    const unsigned codePage = CodePageArgument(o.codepage);
    try {
        const auto source = disk::Source::Open(o.args[0]);
        Warn(source->Warnings());
        const disk::Installation& installation = hivestore::ChooseInstallation(*source, o.installation);
        if (o.codepage && installation.kind != disk::InstallationKind::Win9x)
            throw UsageError{"--codepage is for Windows 95, 98 and Me, whose registry " + o.args[0] + " does not hold"};
        hivestore::ProgressLine progress("regstore", stderr, hivestore::ProgressLine::IsTerminal(stderr));
        const auto result =
            hivestore::ImportWindows(*source, installation, hivestore::Extent::Whole, std::ref(progress), codePage);
        progress.Clear();
        Warn(result.warnings);
    } catch (const disk::Error& e) {
        throw InputError{e.what()};
    } catch (const hive::HiveError& e) {
        throw InputError{e.what()};
    } catch (const win9x::CregError& e) {
        throw InputError{std::string(e.what()) + "; nothing was imported"};
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
    app.add_option("--codepage", o->codepage)->type_name("N");
    return {&app, kHelp, &o->args, [&context, o] { return ImportWindows(context, *o); }};
}

}  // namespace regstore
