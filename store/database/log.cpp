#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    unsigned char copy[kIndexCopiedBack + 4];
    for (std::size_t i = 0; i < sizeof copy; ++i) copy[i] = header[i];
    std::uint32_t frames = 0, copiedBack = 0;
    std::uint16_t pageSize = 0;
    std::memcpy(&frames, copy + kIndexFrames, sizeof frames);
    std::memcpy(&pageSize, copy + kIndexPageSize, sizeof pageSize);
    std::memcpy(&copiedBack, copy + kIndexCopiedBack, sizeof copiedBack);
    if (copy[kIndexIsInit] != 1 || pageSize == 0) return std::nullopt;
    return LogLength{frames, IndexPageSize(pageSize), copiedBack};
}

const std::string& LogLimitSql() {
    static const std::string sql = "PRAGMA journal_size_limit = " + std::to_string(kLogSizeLimit);
    return sql;
}

void KeepLogFiles(sqlite3* db) {
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
}

bool IndexOfAnotherFile(const std::string& path, int fd, bool forget) {
    constexpr size_t kHeader = kIndexHeaderBytes, kIsInit = kIndexIsInit;
    const std::string index = path + "-shm";
    const int shm = open(index.c_str(), (forget ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
    if (shm < 0) return false;
    unsigned char header[2 * kHeader];
    struct stat st {};
    bool other = pread(shm, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                 std::memcmp(header, header + kHeader, kHeader) == 0 && header[kIsInit] == 1 && fd >= 0 &&
                 fstat(fd, &st) == 0;
    if (other) {
        std::uint32_t frames = 0, pages = 0;
        std::uint16_t pageSize = 0;
        std::memcpy(&frames, header + kIndexFrames, 4);  // in the machine's own byte order
        std::memcpy(&pages, header + kIndexPages, 4);
        std::memcpy(&pageSize, header + kIndexPageSize, 2);
        const sqlite3_int64 size = IndexPageSize(pageSize);
        other = frames == 0 && pages != 0 && size >= 512 && st.st_size / size != pages;
    }
    bool own = false;
    if (other && forget) {
        const unsigned char zero = 0;
        own = pwrite(shm, &zero, 1, kIsInit) != 1 || pwrite(shm, &zero, 1, kHeader + kIsInit) != 1;
    }
    close(shm);
    return other && (!forget || own);
}

}  // namespace store
