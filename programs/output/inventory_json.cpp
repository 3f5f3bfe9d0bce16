#include "inventory_json.h"

#include "inventory_columns.h"

namespace output {
namespace {

// What one object is written of.
struct Row {
    std::optional<std::string_view> source;            // none: the installation's fields alone
    const disk::Installation* installation = nullptr;  // none: a source that could not be read
    unsigned number = 0;
    const Listing* listing = nullptr;
    std::string_view error;
};

// What the window shows under `label`; null should the window not show it.
Json WindowValue(const Listing& listing, std::string_view label) {
    for (const auto& [name, value] : listing.window)
        if (name == label) return value;
    return nullptr;
}

Json Fields(const Row& row) {
    Json out = Json::object();
    const bool read = row.installation != nullptr && row.error.empty();
    for (const Column& c : InstallationColumns()) {
        switch (c.from) {
            case From::Source:
                if (row.source) out[c.json] = *row.source;
                break;
            case From::Volume:
                if (row.installation != nullptr) out[c.json] = c.value(*row.installation, row.number, *row.listing);
                break;
            case From::Error:
                if (!row.error.empty()) out[c.json] = row.error;
                break;
            case From::Window:
                if (read) out[c.json] = WindowValue(*row.listing, c.json);
                break;
            case From::Registry:
                if (read) out[c.json] = c.value(*row.installation, row.number, *row.listing);
                break;
        }
    }
    if (read && row.listing->details) out[kDetailsKey] = DetailsJson(*row.listing->details, row.listing->endOfSupport);
    return out;
}

}  // namespace

Json DetailsJson(const installations::Details& details, const std::optional<std::string>& endOfSupport) {
    Json out = Json::object();
    for (const DetailColumn& c : DetailColumns()) out[c.json] = c.value(details, endOfSupport);
    return out;
}

Json InstallationJson(const disk::Installation& installation, unsigned number, const Listing& listing) {
    return Fields({std::nullopt, &installation, number, &listing, listing.error});
}

Json InstallationJson(std::string_view source, const disk::Installation& installation, unsigned number,
                      const Listing& listing) {
    return Fields({source, &installation, number, &listing, listing.error});
}

Json SourceJson(std::string_view source, std::string_view error) {
    return Fields({source, nullptr, 0, nullptr, error});
}

std::string JsonText(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace output
