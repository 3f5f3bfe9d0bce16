#pragma once
// An installation as list-windows reports it, as a JSON object (nlohmann's, keys in the order
// written) of the fields of inventory_columns.h; inventory_csv.h makes a CSV row of the same object.
#include "details.h"
#include "disk.h"
#include "inventory.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
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

// The installation's fields but its source: where it lies, then its error or what its registry says
// and, where read, its details. Null for what the registry lacks.
Json InstallationJson(const disk::Installation& installation, unsigned number, const Listing& listing);
// The same, its source first: the object list-windows prints.
Json InstallationJson(std::string_view source, const disk::Installation& installation, unsigned number,
                      const Listing& listing);
// A source that could not be read: its name and why.
Json SourceJson(std::string_view source, std::string_view error);

// The details as an object, interfaces, profiles and updates nested.
Json DetailsJson(const installations::Details& details, const std::optional<std::string>& endOfSupport);

// The text of `value` on one line. A string that is no UTF-8 (a lone surrogate from a registry name,
// in WTF-8) has U+FFFD in its place.
std::string JsonText(const Json& value);

}  // namespace output
