#include "writeback.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>

namespace store {
namespace {

using Pwrite64 = ssize_t (*)(int, const void*, size_t, off_t);
Pwrite64 g_pwrite = nullptr;

// Bytes written since the last start, by descriptor; a reused descriptor inherits a few, which
// only starts its first write-out sooner.
constexpr int kCountedFiles = 1024;
std::array<std::atomic<std::uint64_t>, kCountedFiles> g_unstarted{};

ssize_t WriteAndStart(int fd, const void* data, size_t size, off_t offset) {
    const ssize_t written = g_pwrite(fd, data, size, offset);
    if (written > 0 && fd >= 0 && fd < kCountedFiles) {
        auto& unstarted = g_unstarted[static_cast<size_t>(fd)];
        if (unstarted.fetch_add(static_cast<std::uint64_t>(written), std::memory_order_relaxed) + written >=
            kWritebackBytes) {
            unstarted.store(0, std::memory_order_relaxed);
            // Advice only: a file system without it (tmpfs) or an error changes nothing.
            sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
    }
    return written;
}

}  // namespace

void StartWritesEarly() {
    sqlite3_vfs* layer = sqlite3_vfs_find("unix");
    if (layer == nullptr || layer->iVersion < 3 || g_pwrite != nullptr) return;
    g_pwrite = reinterpret_cast<Pwrite64>(layer->xGetSystemCall(layer, "pwrite64"));
    if (g_pwrite != nullptr)
        layer->xSetSystemCall(layer, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(WriteAndStart));
}

}  // namespace store
