#include "windows_listing.h"

#include "command.h"

#include "hive.h"
#include "hive_store.h"
#include "inventory.h"
#include "memory_registry.h"
#include "win9x.h"
#include "windows_import.h"

#include <exception>

namespace regstore {
namespace {

std::string ValueOf(const output::Listing& listed, std::string_view label) {
    for (const auto& [l, value] : listed.window)
        if (l == label) return value;
    return "";
}

// The keys asked for, read into a registry in memory, and read back as the window reads them:
// nothing is written anywhere.
output::Listing Inspect(disk::Source& source, const disk::Installation& installation, const ListingRequest& request) {
    output::Listing listed;
    try {
        const ScopedMemoryRegistry inMemory;
        // What the import says is about that registry, which goes.
        installations::ImportWindows(
            source, installation,
            request.details ? installations::Extent::Details : installations::Extent::VersionKeys);
        listed.window = WindowValues();
        listed.inventory = installations::ReadInventory();
        if (request.details) listed.details = installations::ReadDetails();
    } catch (const disk::Error& e) {
        listed.error = e.what();
    } catch (const hive::HiveError& e) {
        listed.error = e.what();
    } catch (const win9x::CregError& e) {
        listed.error = e.what();
    } catch (const hivestore::StoreError& e) {
        listed.error = e.what();
    } catch (const InputError& e) {
        listed.error = e.message;
    }
    if (!listed.error.empty()) return listed;
    const std::string productType = ValueOf(listed, "ProductType");
    listed.name = installations::ProductNameShown(listed.inventory.productName.value_or(""), productType,
                                                  listed.inventory.currentBuildNumber.value_or(""));
    if (request.details && request.lifecycle) {
        lifecycle::Release release;
        release.productName = listed.name;
        release.release = listed.inventory.release.value_or("");
        release.editionId = listed.inventory.editionId.value_or("");
        release.server = productType != "1";
        try {
            release.code = std::stoi(ValueOf(listed, "Caption"));
        } catch (const std::exception&) {
            release.code = 0;
        }
        listed.endOfSupport = lifecycle::EndOfSupport(*request.lifecycle, release, request.today);
    }
    return listed;
}

}  // namespace

void ReadSource(ListedSource& source, const ListingRequest& request) {
    if (!source.error.empty()) return;
    try {
        if (!source.opened) source.opened = disk::Source::Open(source.path);
        source.warnings = source.opened->Warnings();
        for (const disk::Installation& installation : source.opened->Installations())
            source.installations.emplace_back(installation, Inspect(*source.opened, installation, request));
    } catch (const disk::Error& e) {
        source.error = e.what();
    } catch (const std::exception& e) {
        // Whatever else one source meets ends that source alone.
        source.error = source.path + ": " + e.what();
    }
    // The reader's process (an image's) ends with the read, not with the listing.
    source.opened.reset();
}

}  // namespace regstore
