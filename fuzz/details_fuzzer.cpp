// The details of an installation (ReadDetails, with the inventory) from any bytes taken for both its
// SOFTWARE and its SYSTEM hive: the keys Extent::Details asks for read on demand (every profile,
// interface and servicing package under its key), written into a registry in memory, read back and
// written as JSON and CSV. Never a crash; the JSON always parses again.
#include "details.h"
#include "hive_store.h"
#include "inventory.h"
#include "inventory_csv.h"
#include "inventory_json.h"
#include "memory_registry.h"
#include "registry_store.h"
#include "version_keys.h"

#include "hive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The paths below each hive's root, the control set in use taken to be ControlSet001.
std::vector<std::vector<std::u16string>> Paths(std::u16string_view hive) {
    std::vector<std::vector<std::u16string>> paths;
    for (const auto* keys : {&installations::kVersionKeys, &installations::kDetailKeys})
        for (const auto& key : *keys) {
            if (hive != key.hive) continue;
            auto names = installations::SplitKeyPath(key.path);
            if (names.front() == u"CurrentControlSet") names.front() = u"ControlSet001";
            paths.push_back(std::move(names));
        }
    return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto software = Paths(u"SOFTWARE"), system = Paths(u"SYSTEM");
    const auto read = [&](std::uint64_t offset, void* out, std::size_t length) {
        if (offset > size || length > size - offset) throw hive::HiveError("fuzz.hive: read past its end");
        std::memcpy(out, data + offset, length);
    };
    const auto reader = [&](const std::vector<std::vector<std::u16string>>& paths) {
        return [&](hive::Visitor& visitor) { return hive::ReadHiveKeys("fuzz.hive", size, read, {}, paths, visitor); };
    };
    const ScopedMemoryRegistry inMemory;
    try {
        const LONG rc = RunInStoreTransaction([&]() -> LONG {
            hivestore::ImportTree("fuzz.hive", reader(software), HKEY_LOCAL_MACHINE, u"SOFTWARE");
            hivestore::ImportTree("fuzz.hive", reader(system), HKEY_LOCAL_MACHINE, u"SYSTEM",
                                  {.mirror = u"ControlSet001", .mirrorAs = u"CurrentControlSet"});
            return ERROR_SUCCESS;
        });
        if (rc != ERROR_SUCCESS) return 0;
    } catch (const hive::HiveError&) {
        return 0;
    } catch (const hivestore::StoreError&) {
        return 0;
    }
    output::Listing listing;
    listing.inventory = installations::ReadInventory();
    listing.details = installations::ReadDetails();
    listing.name = listing.inventory.productName.value_or("");
    const auto object = output::InstallationJson(disk::Installation{}, 1, listing);
    const std::string text = output::JsonText(object);
    if (output::Json::parse(text, nullptr, false).is_discarded()) {
        std::fprintf(stderr, "details_fuzzer: JSON that does not parse again: %s\n", text.c_str());
        std::abort();
    }
    const std::string row = output::CsvRow("fuzz.img", object, true);
    if (row.size() < 2 || row.compare(row.size() - 2, 2, "\r\n") != 0) std::abort();
    return 0;
}
