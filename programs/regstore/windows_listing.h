#pragma once
// What list-windows reads of one source: each installation's version facts (and, when asked, its
// details), read into a registry in memory that goes when the read is done. Safe to run for several
// sources at once, one per thread.
#include "disk.h"
#include "inventory_json.h"
#include "lifecycle.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace regstore {

// A source as the command line gives it, or as a folder's search finds it.
struct ListedSource {
    explicit ListedSource(std::string path = {}, std::unique_ptr<disk::Source> opened = nullptr, std::string error = {})
        : path(std::move(path)), opened(std::move(opened)), error(std::move(error)) {}

    std::string path;
    std::unique_ptr<disk::Source> opened;  // already opened while the line was read (a folder)
    std::string error;                     // when it cannot be read at all
    std::vector<std::string> warnings;
    std::vector<std::pair<disk::Installation, output::Listing>> installations;
};

struct ListingRequest {
    bool details = false;
    std::optional<lifecycle::Table> lifecycle;  // the end-of-support table, when found
    std::string today;                          // YYYY-MM-DD, UTC
};

// Fills `source`: its installations, or its error. Never throws.
void ReadSource(ListedSource& source, const ListingRequest& request);

}  // namespace regstore
