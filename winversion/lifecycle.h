#pragma once
// When Microsoft ends support for a Windows release: the table data/lifecycle.csv (installed as
// share/versioninfo/lifecycle.csv, beside the Windows program in its zip) and the lookup in it.
// Plain C++: built for both platforms.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lifecycle {

struct Row {
    int code = 0;         // the version code of the release (winversion)
    std::string match;    // what the upper-cased product name contains; empty: by the code alone
    std::string release;  // DisplayVersion or ReleaseId; empty: any
    std::string family;   // "workstation", "enterprise", "ltsc", "iot-ltsc", "server" or "*"
    std::string end;      // the last day of support, YYYY-MM-DD
};

struct Table {
    std::string checked;  // when the dates were last compared with Microsoft's, YYYY-MM-DD
    std::vector<Row> rows;
};

class TableError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws TableError naming the line at fault.
Table Parse(std::string_view text);
// The table at `path`, or none where there is no such file; throws TableError when it is damaged.
std::optional<Table> Load(const std::string& path);
// Where a program in `programDir` finds the table: installed (../share/versioninfo, the build tree
// too), then beside it (the Windows zip).
std::vector<std::string> Places(const std::string& programDir);

// What an installation says about its release, as list-windows reads it.
struct Release {
    std::string productName;  // as shown: "Windows 11 Pro"
    std::string release;      // "23H2"; empty where the registry keeps none
    std::string editionId;    // "Professional", "EnterpriseS", "ServerStandard"
    bool server = false;      // product type other than 1
    int code = 0;             // the version code
};

// The edition family of the table that the edition belongs to.
std::string Family(std::string_view editionId, bool server);

// "supported until D" while `today` (YYYY-MM-DD) is not past D, else "out of support since D";
// none where the table has no row for the release.
std::optional<std::string> EndOfSupport(const Table& table, const Release& release, std::string_view today);

// Today's date in UTC, YYYY-MM-DD.
std::string TodayUtc();

// Whether `text` is a date of the calendar written YYYY-MM-DD.
bool IsDate(std::string_view text);

}  // namespace lifecycle
