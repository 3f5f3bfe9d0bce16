#include "inventory_csv.h"

#include "inventory_columns.h"

namespace output {
namespace {

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

std::string CellOf(const Json& object, const char* key) {
    return Cell(At(object, key));
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

std::string InterfacesCell(const Json& list) {
    std::string out;
    if (!list.is_array()) return out;
    for (const auto& n : list) {
        if (!out.empty()) out += "; ";
        out += CellOf(n, "id") + ":";
        const char* between = " ";
        if (At(n, "addresses").is_array())
            for (const auto& a : At(n, "addresses")) out += between + Cell(a), between = ", ";
        if (At(n, "dhcp") == true)
            out += At(n, "dhcpServer").is_null() ? " (DHCP)" : " (DHCP " + CellOf(n, "dhcpServer") + ")";
    }
    return out;
}

std::string ProfilesCell(const Json& list) {
    std::string out;
    if (!list.is_array()) return out;
    for (const auto& p : list) {
        if (!out.empty()) out += "; ";
        out += CellOf(p, "sid") + ": " + CellOf(p, "folder");
        if (!At(p, "lastLoad").is_null()) out += " (" + CellOf(p, "lastLoad") + ")";
    }
    return out;
}

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
    std::vector<std::string> names;
    for (const Column& c : InstallationColumns()) names.emplace_back(c.csv);
    if (details)
        for (const DetailColumn& c : DetailColumns()) {
            if (c.csv != nullptr) names.emplace_back(c.csv);
            else
                for (const Field& m : c.members) names.emplace_back(m.csv);
        }
    return Row(names);
}

std::string CsvRow(std::string_view source, const Json& installation, bool details) {
    std::vector<std::string> fields;
    for (const Column& c : InstallationColumns())
        fields.push_back(c.from == From::Source ? std::string(source) : CellOf(installation, c.json));
    if (details) {
        const Json& d = At(installation, kDetailsKey);
        for (const DetailColumn& c : DetailColumns()) {
            const Json& value = At(d, c.json);
            if (c.csv != nullptr) fields.push_back(c.cell != nullptr ? c.cell(value) : Cell(value));
            else
                for (const Field& m : c.members) fields.push_back(CellOf(value, m.json));
        }
    }
    return Row(fields);
}

}  // namespace output
