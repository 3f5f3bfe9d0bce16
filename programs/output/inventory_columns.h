#pragma once
// The fields list-windows reports of an installation, in their order: each one's key in the JSON
// object, its CSV header and a line that says what it holds. The JSON object, the CSV header and
// rows, and list-windows' help (so the man page) are made from these tables; docs/regstore.md is held
// to them by regstore_docs_check.py. The details' lists and objects have small tables of their own.
#include "details.h"
#include "disk.h"
#include "inventory_json.h"

#include <optional>
#include <span>
#include <string>

namespace output {

// A field of a list's items (interfaces, profiles) or of a nested object (updates).
struct Field {
    const char* json;
    const char* csv;  // null where it has no column of its own: a list is one cell
    const char* about;
};

// Where an installation's field comes from, which says when it is written.
enum class From {
    Source,    // the source it was found on: every row
    Volume,    // where it lies: every installation found
    Error,     // why the source, or the installation's registry, cannot be read: only then
    Window,    // what the window shows under this label: an installation read
    Registry,  // what its registry says: an installation read
};

struct Column {
    const char* json;
    const char* csv;
    const char* about;
    From from;
    Json (*value)(const disk::Installation&, unsigned number, const Listing&) = nullptr;  // Volume, Registry
};

struct DetailColumn {
    const char* json;  // its key in the details object
    const char* csv;   // its CSV header; null where its members are columns of their own
    const char* about;
    Json (*value)(const installations::Details&, const std::optional<std::string>& endOfSupport);
    std::string (*cell)(const Json& value) = nullptr;  // a list as one CSV cell; null: the value as text
    std::span<const Field> members = {};               // of each item of a list, or of an object
};

// source, installation, partition, ... architecture.
std::span<const Column> InstallationColumns();
// registeredOwner, ... endOfSupport: under kDetailsKey, asked for with --details.
std::span<const DetailColumn> DetailColumns();

inline constexpr const char* kDetailsKey = "details";

}  // namespace output
