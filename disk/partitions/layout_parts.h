#pragma once
// What the layout's files share: whether a content is a volume, what a
// volume at an offset holds, and the two partition tables (mbr.cpp, gpt.cpp).
#include "byte_order.h"
#include "layout.h"
#include "layout_format.h"

#include <cstdint>
#include <cstring>
#include <optional>

namespace disk::layout {

// A file system, or a volume that names itself (BitLocker): what a partition table's sectors hold.
bool IsVolume(Content c);
// What the volume at `offset` holds, from its first sector.
Content ProbeAt(const Reader& read, std::uint64_t size, std::uint64_t offset);

// The GPT whose header lies in the disk's second sector of `sector` bytes.
Table ReadGpt(const Reader& read, std::uint64_t size, unsigned sector);
// The MBR with its extended and logical partitions; nullopt when the first sector is no table (a
// boot sector, no entries). `hint`: the container's sector size, 0 when it does not say.
std::optional<Table> ReadMbr(const Reader& read, std::uint64_t size, unsigned hint);

}  // namespace disk::layout
