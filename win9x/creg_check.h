#pragma once
#include "win9x.h"

#include <cstdint>
#include <span>
#include <string>

namespace win9x {

// Throws CregError, naming the file (`name`), the offset and what is wrong, unless the file's records lie
// where they say they do: the key entries' record, data blocks one after the other to the end of the
// file, as many as the header counts, entries that fill each block, and key entries that lie inside
// their record and form a tree (none reached twice, at most 512 levels).
void CheckCreg(const std::string& name, std::span<const std::uint8_t> bytes);

}  // namespace win9x
