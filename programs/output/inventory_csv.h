#pragma once
// Installations as CSV for a spreadsheet (RFC 4180: CRLF line ends, a field with a comma, a quote or
// a line break in quotes, its quotes doubled): a header row, then one row per installation, made
// from the JSON object list-windows prints, so that both say the same; the columns are those of
// inventory_columns.h.
#include "inventory_json.h"

#include <string>
#include <string_view>

namespace output {

std::string CsvField(std::string_view text);

// The header row: the installation's columns; the details' with `details`.
std::string CsvHeader(bool details);

// The row of one installation (InstallationJson's object) found on `source`.
std::string CsvRow(std::string_view source, const Json& installation, bool details);

// Lists in one cell: interfaces "ID: address, address (DHCP server)", profiles "SID: folder (last
// load)", "; " between.
std::string InterfacesCell(const Json& list);
std::string ProfilesCell(const Json& list);

}  // namespace output
