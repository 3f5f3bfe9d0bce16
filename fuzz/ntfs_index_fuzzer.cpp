// A folder's index of names (disk::ntfs::FolderIndex) on any bytes: searching and listing never crash,
// never read a block twice on the way down, and end on loops and deep trees. The input is the
// value of the folder's $INDEX_ROOT (its length in the first 4 bytes), then its $INDEX_ALLOCATION,
// as fuzz/make-ntfs-index-seeds dumps them from volumes that ntfs-3g wrote.
#include "disk.h"
#include "ntfs_index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kCluster = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const std::size_t rootSize = std::size_t(data[0] | data[1] << 8 | data[2] << 16 | std::uint32_t(data[3]) << 24);
    if (rootSize > size - 4) return 0;
    const std::span<const std::uint8_t> root(data + 4, rootSize);
    const std::uint8_t* allocation = data + 4 + rootSize;
    const std::size_t allocationSize = size - 4 - rootSize;
    std::size_t blocksRead = 0;
    const auto read = [&](std::uint64_t offset, void* out, std::size_t length) {
        if (offset > allocationSize || length > allocationSize - offset) throw disk::Error{"fuzz: past the end"};
        std::memcpy(out, allocation + offset, length);
        ++blocksRead;
    };
    const disk::ntfs::UpCase upcase;
    try {
        disk::ntfs::FolderIndex index("fuzz", root, allocationSize, kCluster, read);
        for (const std::u16string name : {u"System32", u"config", u"SOFTWARE", u"zzzz", u""}) {
            blocksRead = 0;
            try {
                index.Find(name, upcase);
            } catch (const disk::Error&) {}
            // One block for each level on the way down, and no more levels than the bound.
            if (blocksRead > std::size_t(disk::ntfs::kMaxIndexDepth)) {
                std::fprintf(stderr, "ntfs_index_fuzzer: %zu blocks read for one name\n", blocksRead);
                std::abort();
            }
        }
        blocksRead = 0;
        std::size_t entries = 0;
        index.ForEach([&](const disk::ntfs::IndexEntry&) { ++entries; });
        // Each block of the allocation is listed once at most.
        if (blocksRead > allocationSize / 512) std::abort();
    } catch (const disk::Error&) {}
    return 0;
}
