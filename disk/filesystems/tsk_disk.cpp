#include "tsk_disk.h"

#include "tsk.h"

#include <algorithm>

namespace disk {
namespace {

// The image header comes first: The Sleuth Kit hands the callbacks a pointer to it.
struct TskDisk {
    TSK_IMG_INFO info;
    Image* image;
    std::string lastError;
};

TskDisk* DiskOf(TSK_IMG_INFO* img) {
    return reinterpret_cast<TskDisk*>(img);
}

ssize_t TskDiskRead(TSK_IMG_INFO* img, TSK_OFF_T offset, char* buffer, size_t length) {
    TskDisk* d = DiskOf(img);
    if (offset < 0 || std::uint64_t(offset) >= d->image->Size()) return 0;
    length = std::size_t(std::min<std::uint64_t>(length, d->image->Size() - std::uint64_t(offset)));
    try {
        d->image->Read(std::uint64_t(offset), buffer, length);
        return ssize_t(length);
    } catch (const Error& e) {
        d->lastError = e.what();
        return -1;
    }
}

void TskDiskClose(TSK_IMG_INFO* img) {
    delete DiskOf(img);
}
void TskDiskStat(TSK_IMG_INFO*, FILE*) {}

}  // namespace

TskImage OpenTskDisk(Image& image, unsigned sectorSize, const std::string& path) {
    auto* disk = new TskDisk{};
    disk->image = &image;
    TskImage tsk(
        tsk_img_open_external(disk, TSK_OFF_T(image.Size()), sectorSize, TskDiskRead, TskDiskClose, TskDiskStat));
    if (tsk == nullptr) {
        delete disk;
        throw Error{path + ": " + TskMessage()};
    }
    return tsk;
}

void ResetTskDisk(TSK_IMG_INFO* img) {
    tsk_error_reset();
    DiskOf(img)->lastError.clear();
}

const std::string& ContainerFailure(TSK_IMG_INFO* img) {
    return DiskOf(img)->lastError;
}

std::string TskDiskFailure(TSK_IMG_INFO* img) {
    const std::string& container = ContainerFailure(img);
    return container.empty() ? TskMessage() : container;
}

}  // namespace disk
