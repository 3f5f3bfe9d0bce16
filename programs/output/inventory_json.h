#pragma once
// An installation as list-windows reports it, as a JSON object (nlohmann's, keys in the order
// written); inventory_csv.h makes a CSV row of the same object.
#include "details.h"
#include "disk.h"
#include "inventory.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace output {

using Json = nlohmann::ordered_json;

// What was read of one installation.
struct Listing {
    std::vector<std::pair<std::string, std::string>> window;  // what `regstore version` prints
    installations::Inventory inventory;
    std::string name;                                    // the product name as people know it
    std::string error;                                   // when the registry could not be read
    std::optional<installations::Details> details = {};  // asked for with the details
    std::optional<std::string> endOfSupport = {};        // likewise; none where the table lacks the release
};

// installation, partition, offset, fileSystem, label, folder, earlier; then "error", or name, the
// window's values, CurrentBuildNumber, UBR, release, EditionID, installDate, computerName,
// architecture and, where read, "details". Null for what the registry lacks.
Json InstallationJson(const disk::Installation& installation, unsigned number, const Listing& listing);

// The details as an object: the fields of installations::Details under their names, interfaces, profiles and
// updates nested, and endOfSupport.
Json DetailsJson(const installations::Details& details, const std::optional<std::string>& endOfSupport);

// The text of `value` on one line. A string that is no UTF-8 (a lone surrogate from a registry name,
// in WTF-8) has U+FFFD in its place.
std::string JsonText(const Json& value);

}  // namespace output
