#include "lifecycle.h"

#include "ascii.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace lifecycle {
namespace {

std::vector<std::string> Fields(std::string_view line) {
    std::vector<std::string> fields;
    for (size_t at = 0;;) {
        const size_t comma = line.find(',', at);
        fields.emplace_back(line.substr(at, comma == std::string_view::npos ? line.npos : comma - at));
        if (comma == std::string_view::npos) return fields;
        at = comma + 1;
    }
}

std::string Upper(std::string_view text) {
    return AsciiUpperText(text);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool IsDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    const auto number = [&](size_t at, size_t n) { return std::stoi(std::string(text.substr(at, n))); };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    return date.ok();
}

Table Parse(std::string_view text) {
    Table table;
    bool header = false;
    int number = 0;
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto fail = [&](const std::string& what) {
            throw TableError("line " + std::to_string(number) + ": " + what);
        };
        const auto f = Fields(line);
        if (table.checked.empty()) {
            if (f.size() != 2 || f[0] != "checked" || !IsDate(f[1])) fail("not \"checked,YYYY-MM-DD\"");
            table.checked = f[1];
        } else if (!header) {
            if (line != "code,match,release,family,end") fail("not the header \"code,match,release,family,end\"");
            header = true;
        } else {
            if (f.size() != 5) fail(std::to_string(f.size()) + " fields, not 5");
            Row row{0, f[1], f[2], f[3], f[4]};
            const auto code =
                f[0].find_first_not_of("0123456789") == std::string::npos && !f[0].empty() && f[0].size() <= 2
                    ? std::stoi(f[0])
                    : -1;
            if (code < 1 || code > 22) fail("no version code from 1 to 22: \"" + f[0] + "\"");
            row.code = code;
            if (row.match != Upper(row.match)) fail("a match in lower case: \"" + row.match + "\"");
            static const char* const families[] = {"workstation", "enterprise", "ltsc", "iot-ltsc", "server", "*"};
            if (std::find(std::begin(families), std::end(families), row.family) == std::end(families))
                fail("no family \"" + row.family + "\"");
            if (!IsDate(row.end)) fail("not a date: \"" + row.end + "\"");
            table.rows.push_back(std::move(row));
        }
    }
    if (!header) throw TableError(table.checked.empty() ? "no \"checked\" line" : "no header");
    return table;
}

std::optional<Table> Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return Parse(text.str());
    } catch (const TableError& e) {
        throw TableError(path + ": " + e.what());
    }
}

std::vector<std::string> Places(const std::string& programDir) {
    return {programDir + "/../share/versioninfo/lifecycle.csv", programDir + "/lifecycle.csv"};
}

std::string Family(std::string_view editionId, bool server) {
    if (server) return "server";
    // Long-term servicing editions end in S (EnterpriseS, EnterpriseSN, IoTEnterpriseS).
    const bool longTerm = editionId.find("EnterpriseS") != std::string_view::npos;
    if (StartsWith(editionId, "IoTEnterprise")) return longTerm ? "iot-ltsc" : "enterprise";
    if (StartsWith(editionId, "Enterprise")) return longTerm ? "ltsc" : "enterprise";
    // Pro Education keeps Pro's dates; Education keeps Enterprise's.
    if (StartsWith(editionId, "Education")) return "enterprise";
    return "workstation";
}

std::optional<std::string> EndOfSupport(const Table& table, const Release& release, std::string_view today) {
    const std::string name = Upper(release.productName);
    // The rows of the release: those of the first match the name contains, else those of the code.
    const std::string* match = nullptr;
    for (const auto& row : table.rows)
        if (!row.match.empty() && name.find(row.match) != std::string::npos) {
            match = &row.match;
            break;
        }
    const auto ofRelease = [&](const Row& row) {
        return match != nullptr ? row.match == *match : row.code == release.code;
    };
    const std::string family = Family(release.editionId, release.server);
    const Row* found = nullptr;
    for (const auto& row : table.rows) {
        if (!ofRelease(row) || !(row.release.empty() || Upper(row.release) == Upper(release.release))) continue;
        if (row.family == family) {
            found = &row;
            break;
        }
        if (row.family == "*" && found == nullptr) found = &row;
    }
    if (found == nullptr) return std::nullopt;
    return (today <= found->end ? "supported until " : "out of support since ") + found->end;
}

std::string TodayUtc() {
    const auto day = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
    const std::chrono::year_month_day date{day};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text;
}

}  // namespace lifecycle
