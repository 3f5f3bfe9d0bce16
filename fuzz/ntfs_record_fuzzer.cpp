// A file record as a folder's lookup reads it (disk::ntfs::UndoFixups, ParseRecord, ListedRecords,
// JoinExtents) on any bytes: never a crash, and every run it gives lies inside the volume. Seeds:
// records of an ntfs-3g volume (fuzz/make-ntfs-index-seeds).
#include "disk.h"
#include "ntfs_format.h"
#include "ntfs_record.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint64_t kClusters = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    try {
        disk::ntfs::ListedRecords(bytes);
    } catch (const disk::Error&) {}
    if (!disk::ntfs::UndoFixups(bytes, disk::ntfs::record::kSignature).empty()) return 0;
    try {
        const disk::ntfs::Record r = disk::ntfs::ParseRecord(bytes, kClusters);
        for (const auto& extent : r.index)
            for (const auto& run : extent.runs)
                if (run.lcn && (*run.lcn >= kClusters || run.length > kClusters - *run.lcn)) std::abort();
        disk::ntfs::JoinExtents(r.index);
    } catch (const disk::Error&) {}
    return 0;
}
