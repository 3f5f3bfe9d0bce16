#include "log.h"

#include <cstring>

namespace store {

std::optional<LogLength> LogLengthOf(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || file == nullptr ||
        file->pMethods == nullptr || file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr)
        return std::nullopt;
    volatile void* region = nullptr;
    // Maps nothing new: the region the connection's transaction already uses.
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || region == nullptr) return std::nullopt;
    const auto* header = static_cast<const volatile unsigned char*>(region);
    unsigned char copy[kIndexHeaderBytes];
    for (std::size_t i = 0; i < sizeof copy; ++i) copy[i] = header[i];
    std::uint32_t frames = 0;
    std::uint16_t pageSize = 0;
    std::memcpy(&frames, copy + kIndexFrames, sizeof frames);
    std::memcpy(&pageSize, copy + kIndexPageSize, sizeof pageSize);
    if (copy[kIndexIsInit] != 1 || pageSize == 0) return std::nullopt;
    return LogLength{frames, IndexPageSize(pageSize)};
}

}  // namespace store
