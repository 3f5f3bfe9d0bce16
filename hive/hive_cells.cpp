// The words of the faults both readers find in cells, each said here once.
#include "hive_cells.h"

#include "hex.h"

namespace hive::cells {

using namespace format;

void Fail(const std::string& file, std::uint32_t binsOffset, const std::string& what) {
    throw HiveError(file + ": at offset " +
                    Hex(binsOffset == kNowhere ? base::kRoot : std::uint64_t(binsOffset) + kBaseBlockSize) + ": " +
                    what);
}

std::string OutsideBins(const char* what, std::uint32_t off) {
    return std::string("the ") + what + " points outside the hive bins (" + Hex(off) + ")";
}

std::string FreeCell(const char* what) {
    return std::string("the ") + what + " is a free cell";
}

std::string PastEnd(const char* what, std::uint64_t size, const char* bounds) {
    return std::string("the ") + what + " is a cell of size " + Hex(size) + ", past " + bounds;
}

std::string NameFaultText(bool isKey, NameFault fault) {
    if (fault == NameFault::NotRecord) return isKey ? "not a key node (\"nk\")" : "not a value (\"vk\")";
    if (fault == NameFault::Longer) return LongerThanCell(isKey ? "key name" : "value name");
    return OddBytes(isKey ? "UTF-16 key name" : "UTF-16 value name");
}

std::string LongerThanCell(const char* what) {
    return std::string("a ") + what + " longer than its cell";
}

std::string OddBytes(const char* what) {
    return std::string("a ") + what + " of an odd number of bytes";
}

std::string ValuesOverflow(std::uint32_t count) {
    return std::to_string(count) + " values in a list cell too small for them";
}

std::string InlineTooLong(std::uint32_t bytes) {
    return "data of " + std::to_string(bytes) + " bytes said to sit in the value itself";
}

std::string DataPastCell(std::uint32_t size, std::size_t cellSize) {
    return "data of " + std::to_string(size) + " bytes in a cell of " + std::to_string(cellSize);
}

std::string SegmentCount(std::uint32_t count, std::uint32_t size) {
    return std::to_string(count) + " big-data segments for " + std::to_string(size) + " bytes";
}

}  // namespace hive::cells
