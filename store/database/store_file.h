#pragma once
// The store's file at its path: which file it is, so that another one taking its place (renamed
// over, or deleted and made again) is noticed, and making it with its folders.
#include "winapi.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace store {

// The file at a path, held by an O_PATH descriptor: fstat tells whether it was unlinked, and
// closing it drops no lock.
class FileIdentity {
public:
    FileIdentity() = default;
    ~FileIdentity() { Close(); }
    FileIdentity(const FileIdentity&) = delete;
    FileIdentity& operator=(const FileIdentity&) = delete;

    // Opens the file at `path` (not following a last symbolic link with `noFollow`) and notes which
    // it is. False, errno set, when there is none; Number() moves on when the file is another than
    // the one last noted, or gone.
    bool Open(const std::string& path, bool noFollow);
    // Whether the file open was renamed over or deleted since. Number() moves on at once.
    bool Replaced();
    // Lets go of the file; Number() stays until a look finds another.
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // Changes whenever another file is found at the path: handles opened on an earlier one are gone.
    std::uint64_t Number() const { return number_; }

private:
    struct Id {
        dev_t dev;
        ino_t ino;
    };
    void Lost();
    int fd_ = -1;
    std::optional<Id> last_;  // the file last open, until it is found gone
    std::uint64_t number_ = 1;
};

// The registry code for a file or folder this process could not write or make (errno).
LONG NoWriteCode();
// The folder `path` is in.
std::string DirectoryOf(const std::string& path);
// The nearest folder on the way to `dir` that exists: a personal store makes the rest.
std::string ExistingAncestor(std::string dir);
// Makes the (empty) store file at `path`; a `personal` one with mode 0600 in folders of mode 0700,
// made as needed, the system one with mode 0644. Another process making it meanwhile is no fault.
void MakeStoreFile(const std::string& path, bool personal);

}  // namespace store
