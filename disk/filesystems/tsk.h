#pragma once
// What the disk library's users of The Sleuth Kit share: its files closed by their owners, and its
// last error as one line.
#include <tsk/libtsk.h>

#include <memory>
#include <string>

namespace disk {

struct TskFileCloser {
    void operator()(TSK_FS_FILE* f) const { tsk_fs_file_close(f); }
};
using TskFile = std::unique_ptr<TSK_FS_FILE, TskFileCloser>;

// The Sleuth Kit's last error, its first line ("unreadable" when it set none), and the error cleared.
std::string TskMessage();

}  // namespace disk
