#include "file_header.h"

#include "byte_order.h"
#include "schema.h"

#include <sqlite3.h>

#include <cstring>
#include <vector>

namespace store {
namespace {

// The header's fields this rule reads.
constexpr std::size_t kWriteVersion = 18, kReadVersion = 19;  // 2 in WAL mode
constexpr std::size_t kSchemaCookie = 40;
constexpr std::size_t kUserVersion = 60;
constexpr std::size_t kApplicationIdAt = 68;
constexpr char kMagic[] = "SQLite format 3";  // with its NUL: 16 bytes

}  // namespace

Verdict Judge(const Marks& marks) {
    if (marks.app != 0 && marks.app != kApplicationId) return Verdict::Foreign;
    if (marks.version > kSchemaVersion) return marks.app == kApplicationId ? Verdict::Newer : Verdict::Foreign;
    if (marks.version == 0) return marks.tables || marks.app != 0 ? Verdict::Foreign : Verdict::Empty;
    if (marks.app == kApplicationId) return Verdict::Store;
    return marks.version == kSchemaVersion ? Verdict::Unmarked : Verdict::Foreign;
}

std::optional<Verdict> JudgeHeader(const unsigned char* header, std::int64_t size) {
    if (size == 0) return Verdict::Empty;
    if (size < static_cast<std::int64_t>(kHeaderBytes) || std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    const bool wal = header[kWriteVersion] == 2 || header[kReadVersion] == 2;
    return Judge({ReadBe32(header + kApplicationIdAt), ReadBe32(header + kUserVersion),
                  wal || ReadBe32(header + kSchemaCookie) != 0});
}

bool ReadHeader(const std::string& path, unsigned char (&header)[kHeaderBytes], std::int64_t& size) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (vfs == nullptr) return false;
    std::vector<std::max_align_t> memory(static_cast<size_t>(vfs->szOsFile) / sizeof(std::max_align_t) + 1);
    auto* file = reinterpret_cast<sqlite3_file*>(memory.data());
    file->pMethods = nullptr;
    sqlite3_filename name = sqlite3_create_filename(path.c_str(), "", "", 0, nullptr);
    int flags = 0;
    bool ok =
        name != nullptr && vfs->xOpen(vfs, name, file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &flags) == SQLITE_OK;
    sqlite3_int64 length = 0;
    if (ok) {
        ok = file->pMethods->xFileSize(file, &length) == SQLITE_OK;
        if (ok && length >= static_cast<sqlite3_int64>(kHeaderBytes))
            ok = file->pMethods->xRead(file, header, kHeaderBytes, 0) == SQLITE_OK;
    }
    if (file->pMethods != nullptr) file->pMethods->xClose(file);
    sqlite3_free_filename(name);
    size = length;
    return ok;
}

}  // namespace store
