#pragma once
// Paths on an NTFS volume found through each folder's own index of names, never through a pass over
// the MFT: The Sleuth Kit reads the records and their attributes (runs, attribute lists), this
// searches the indexes and follows junctions and symbolic links that stay on the volume.
#include "NtfsIndex.h"
#include "Tsk.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace disk::ntfs {

// Where a path led.
struct Found {
    TskFile file;               // the file or folder at the path; null when there is none
    std::string refusal;        // when null because a link on the way leaves the volume: says which
    std::size_t linkDepth = 0;  // the names before the refused link (1: the top-level folder itself)
};

// Reads `length` bytes at `offset` of the volume, or throws disk::Error.
using VolumeReader = std::function<void(std::uint64_t offset, void* buffer, std::size_t length)>;

class Folders {
public:
    // `where` names the volume in messages ("disk.raw, partition 3"). Index blocks are read through
    // `read`, each alone, rather than through The Sleuth Kit's cache of 64 KiB lines.
    Folders(TSK_FS_INFO* fs, std::string where, VolumeReader read, std::uint64_t length);

    // The file or folder at `inside` ('/' between names, any case), junctions and symbolic links on
    // the way followed where they stay on the volume; the volume is taken to be drive C:, as
    // Windows names the volume it runs from. Throws disk::Error naming the path when a record or an
    // index on the way is damaged.
    Found Resolve(std::string_view inside);

    // The folders (links to folders too) in the folder at `inside`, by their long names, in the
    // index's order; none when it is no folder.
    std::vector<std::string> Subfolders(std::string_view inside);

private:
    struct Step;
    TskFile Open(std::uint64_t reference, bool checkSequence, const std::string& path);
    std::optional<IndexEntry> Child(TSK_FS_FILE* folder, const std::string& path, std::u16string_view name);
    FolderIndex IndexOf(TSK_FS_FILE* folder, const std::string& path);
    const UpCase& Upper();
    // Where the bytes lie on the volume in one run of clusters: read from there; false otherwise.
    bool ReadDirect(const TSK_FS_ATTR* attribute, std::uint64_t offset, void* buffer, std::size_t length);

    TSK_FS_INFO* fs_;
    std::string where_;
    VolumeReader read_;
    std::uint64_t length_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> blocks_;  // index blocks read, by their place
    std::optional<UpCase> upcase_;
};

// UTF-16 as UTF-8, and back; a unit that is no character reads as U+FFFD.
std::string Utf8(std::u16string_view units);
std::u16string Utf16(std::string_view text);

}  // namespace disk::ntfs
