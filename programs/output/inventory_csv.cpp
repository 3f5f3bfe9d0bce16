#include "inventory_csv.h"

#include <array>

namespace output {
namespace {

constexpr std::array kInstallationColumns = {"installation", "partition",   "offset",       "fileSystem",
                                             "label",        "folder",      "earlier",      "error",
                                             "name",         "Caption",     "MajorVersion", "MinorVersion",
                                             "CSDVersion",   "ProductType", "ProductName",  "CurrentBuildNumber",
                                             "UBR",          "release",     "EditionID",    "installDate",
                                             "computerName", "architecture"};
constexpr std::array kDetailColumns = {"registeredOwner",
                                       "registeredOrganization",
                                       "productId",
                                       "installTime",
                                       "lastShutdown",
                                       "timeZone",
                                       "timeZoneBias",
                                       "systemLocale",
                                       "installLanguage",
                                       "hostName",
                                       "dnsDomain",
                                       "logonDomain",
                                       "interfaces",
                                       "profiles",
                                       "updatesInstalled",
                                       "newestUpdate",
                                       "newestUpdateInstalled",
                                       "endOfSupport"};

// The member `key` of `object`, null where there is none.
const Json& At(const Json& object, const char* key) {
    static const Json none;
    if (!object.is_object()) return none;
    const auto it = object.find(key);
    return it == object.end() ? none : *it;
}

// A value as a spreadsheet cell: text as it is, numbers and booleans as JSON writes them, null empty.
std::string Cell(const Json& value) {
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string Field(const Json& object, const char* key) {
    return Cell(At(object, key));
}

std::string Interfaces(const Json& list) {
    std::string out;
    if (!list.is_array()) return out;
    for (const auto& n : list) {
        if (!out.empty()) out += "; ";
        out += Field(n, "id") + ":";
        const char* between = " ";
        if (At(n, "addresses").is_array())
            for (const auto& a : At(n, "addresses")) out += between + Cell(a), between = ", ";
        if (At(n, "dhcp") == true)
            out += At(n, "dhcpServer").is_null() ? " (DHCP)" : " (DHCP " + Field(n, "dhcpServer") + ")";
    }
    return out;
}

std::string Profiles(const Json& list) {
    std::string out;
    if (!list.is_array()) return out;
    for (const auto& p : list) {
        if (!out.empty()) out += "; ";
        out += Field(p, "sid") + ": " + Field(p, "folder");
        if (!At(p, "lastLoad").is_null()) out += " (" + Field(p, "lastLoad") + ")";
    }
    return out;
}

std::string Row(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += ',';
        line += CsvField(fields[i]);
    }
    // An empty first field alone would make an empty line; quoted, it is a row.
    if (fields.size() == 1 && fields.front().empty()) line = "\"\"";
    return line + "\r\n";
}

}  // namespace

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string CsvHeader(bool details) {
    std::vector<std::string> names{"source"};
    names.insert(names.end(), kInstallationColumns.begin(), kInstallationColumns.end());
    if (details) names.insert(names.end(), kDetailColumns.begin(), kDetailColumns.end());
    return Row(names);
}

std::string CsvRow(std::string_view source, const Json& installation, bool details) {
    std::vector<std::string> fields{std::string(source)};
    for (const char* key : kInstallationColumns) fields.push_back(Field(installation, key));
    if (details) {
        const Json& d = At(installation, "details");
        const Json& updates = At(d, "updates");
        for (const char* key : kDetailColumns) {
            const std::string_view k = key;
            if (k == "interfaces") fields.push_back(Interfaces(At(d, key)));
            else if (k == "profiles") fields.push_back(Profiles(At(d, key)));
            else if (k == "updatesInstalled") fields.push_back(Field(updates, "installed"));
            else if (k == "newestUpdate") fields.push_back(Field(updates, "newestKb"));
            else if (k == "newestUpdateInstalled") fields.push_back(Field(updates, "newestInstall"));
            else fields.push_back(Field(d, key));
        }
    }
    return Row(fields);
}

}  // namespace output
