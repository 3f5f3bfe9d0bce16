#include "inventory_json.h"

namespace output {
namespace {

template <typename T>
Json OrNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

}  // namespace

Json DetailsJson(const installations::Details& d, const std::optional<std::string>& endOfSupport) {
    Json out = Json::object();
    out["registeredOwner"] = OrNull(d.registeredOwner);
    out["registeredOrganization"] = OrNull(d.registeredOrganization);
    out["productId"] = OrNull(d.productId);
    out["installTime"] = OrNull(d.installTime);
    out["lastShutdown"] = OrNull(d.lastShutdown);
    out["timeZone"] = OrNull(d.timeZone);
    out["timeZoneBias"] = OrNull(d.timeZoneBias);
    out["systemLocale"] = OrNull(d.systemLocale);
    out["installLanguage"] = OrNull(d.installLanguage);
    out["hostName"] = OrNull(d.hostName);
    out["dnsDomain"] = OrNull(d.dnsDomain);
    out["logonDomain"] = OrNull(d.logonDomain);
    out["interfaces"] = nullptr;
    if (d.interfaces) {
        out["interfaces"] = Json::array();
        for (const auto& n : *d.interfaces)
            out["interfaces"].push_back(
                Json{{"id", n.id}, {"dhcp", n.dhcp}, {"addresses", n.addresses}, {"dhcpServer", OrNull(n.dhcpServer)}});
    }
    out["profiles"] = nullptr;
    if (d.profiles) {
        out["profiles"] = Json::array();
        for (const auto& p : *d.profiles)
            out["profiles"].push_back(
                Json{{"sid", p.sid}, {"folder", OrNull(p.folder)}, {"lastLoad", OrNull(p.lastLoad)}});
    }
    out["updates"] = nullptr;
    if (d.updates)
        out["updates"] = Json{{"installed", d.updates->installed},
                              {"newestKb", OrNull(d.updates->newestKb)},
                              {"newestInstall", OrNull(d.updates->newestInstall)}};
    out["endOfSupport"] = OrNull(endOfSupport);
    return out;
}

Json InstallationJson(const disk::Installation& installation, unsigned number, const Listing& listing) {
    const auto& v = installation.volume;
    Json out = Json::object();
    out["installation"] = number;
    out["partition"] = v.partition;
    out["offset"] = v.offset;
    out["fileSystem"] = v.fileSystem;
    out["label"] = v.label;
    out["folder"] = installation.folder;
    out["earlier"] = installation.earlier;
    if (!listing.error.empty()) {
        out["error"] = listing.error;
        return out;
    }
    const auto& inv = listing.inventory;
    out["name"] = listing.name;
    for (const auto& [label, value] : listing.window) out[label] = value;
    out["CurrentBuildNumber"] = OrNull(inv.currentBuildNumber);
    out["UBR"] = OrNull(inv.ubr);
    out["release"] = OrNull(inv.release);
    out["EditionID"] = OrNull(inv.editionId);
    out["installDate"] = OrNull(inv.installDate);
    out["computerName"] = OrNull(inv.computerName);
    out["architecture"] = OrNull(inv.architecture);
    if (listing.details) out["details"] = DetailsJson(*listing.details, listing.endOfSupport);
    return out;
}

std::string JsonText(const Json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace output
