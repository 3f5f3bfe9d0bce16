#pragma once
// Files on a volume that The Sleuth Kit opened: a path looked up through FAT folders, what an NTFS
// file's reparse point says it is, where a file's bytes lie on the disk, and what NTFS's $Volume
// says of the volume.
#include "disk.h"
#include "tsk.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace disk {

// The file that `parts` name below the root of the FAT volume `fs` (each name compared as FAT
// compares them, a short name too; only names in use); null when there is none. Throws what
// `damaged` makes when the volume's records on the way cannot be read.
//
// FAT folders are small and have no records of deleted files to re-read: The Sleuth Kit lists them.
// The folders are walked here, each closed again: its own path lookup leaks the folders it opened
// when a damaged FAT folder stops it.
TskFile FatLookup(TSK_FS_INFO* fs, const std::vector<std::string>& parts, const std::function<Error()>& damaged);

// The tag of the file's reparse point: 0 when it has none, 0xFFFFFFFF when it cannot be read.
std::uint32_t ReparseTag(TSK_FS_FILE* file);

// A stretch of a file: `length` bytes from `fileOffset` lie at `diskOffset` of the disk, or are zeros.
struct Run {
    std::uint64_t fileOffset, length, diskOffset;
    bool zero;
};

// Where the `size` bytes of `file` lie on the disk, on a volume of `volumeLength` bytes at
// `volumeOffset`, so that they are read straight from the image in large pieces, past The Sleuth
// Kit's cache of small blocks; nullopt when the file is held otherwise (resident, compressed,
// encrypted, runs with gaps): The Sleuth Kit reads it then. Throws what `pastTheEnd` makes for
// data that lie past the end of the volume.
std::optional<std::vector<Run>> FileRuns(const TSK_FS_INFO* fs, TSK_FS_FILE* file, std::uint64_t size,
                                         std::uint64_t volumeOffset, std::uint64_t volumeLength,
                                         const std::function<Error()>& pastTheEnd);

// What $Volume says of an NTFS volume: its label, and whether Windows left it without shutting it
// down cleanly.
struct NtfsVolumeFacts {
    std::string label;
    bool dirty = false;
};
NtfsVolumeFacts ReadNtfsVolumeFacts(TSK_FS_INFO* fs);

}  // namespace disk
