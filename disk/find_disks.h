#pragma once
// Disk images inside a folder, found by content, never by name: what `list-windows --recursive`
// reads of a folder that holds no installation itself (a host's folder of VM disks, a backup set).
#include <string>
#include <vector>

namespace disk {

struct FoundDisks {
    std::vector<std::string> disks;     // paths below the folder, in name order
    std::vector<std::string> warnings;  // folders that could not be read, one line each
};

// Every depth; links to folders are not followed. The extents a VMDK descriptor names are its disk's
// parts, not disks of their own.
FoundDisks FindDisks(const std::string& folder);

}  // namespace disk
