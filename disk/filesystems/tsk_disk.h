#pragma once
// The Sleuth Kit reading a virtual disk through its hook for images of other formats: its volumes
// and files are read from the container (Image), and a container's failure under one of its reads
// reaches the message in the container's own words.
#include "disk.h"
#include "image.h"

#include <tsk/libtsk.h>

#include <memory>
#include <string>

namespace disk {

struct TskImageCloser {
    void operator()(TSK_IMG_INFO* img) const { tsk_img_close(img); }
};
using TskImage = std::unique_ptr<TSK_IMG_INFO, TskImageCloser>;

// `image` as The Sleuth Kit's image of `sectorSize`-byte sectors; `image` must outlive it. Throws
// Error naming `path`.
TskImage OpenTskDisk(Image& image, unsigned sectorSize, const std::string& path);

// Forgets the last failure of the container and The Sleuth Kit's, before a read whose failure is told.
void ResetTskDisk(TSK_IMG_INFO* img);
// The container's failure under The Sleuth Kit's reads since the last reset; "" when there was none.
const std::string& ContainerFailure(TSK_IMG_INFO* img);
// What failed: the container's words where it failed, else The Sleuth Kit's (TskMessage).
std::string TskDiskFailure(TSK_IMG_INFO* img);

}  // namespace disk
