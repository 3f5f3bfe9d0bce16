#pragma once
// Paths on an NTFS volume found through each folder's own index of names, never through a pass over
// the MFT: the records on the way are read straight from the MFT, a kilobyte each, and their
// indexes searched; The Sleuth Kit reads a record only where part of it lies elsewhere (an attribute
// list), and the files found. Junctions and symbolic links that stay on the volume are followed.
#include "ntfs_index.h"
#include "ntfs_record.h"
#include "tsk.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace disk::ntfs {

// Where a path led.
struct Found {
    std::optional<std::uint64_t> record;  // the file or folder at the path; none when there is none
    bool folder = false;
    std::string refusal;        // when there is none because a link on the way leaves the volume: which
    std::size_t linkDepth = 0;  // the folders before that link (1: it is a top-level one)
};

// Reads `length` bytes at `offset` of the volume, or throws disk::Error.
using VolumeReader = std::function<void(std::uint64_t offset, void* buffer, std::size_t length)>;

class Folders {
public:
    // `where` names the volume in messages ("disk.raw, partition 3"); `read` reads its `length` bytes.
    // Records and index blocks are read through it, each alone and once, rather than through The
    // Sleuth Kit's cache of 64 KiB lines.
    Folders(TSK_FS_INFO* fs, std::string where, VolumeReader read, std::uint64_t length);
    ~Folders();
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    // The file or folder at `inside` ('/' between names, any case), junctions and symbolic links on
    // the way followed where they stay on the volume; the volume is taken to be drive C:, as
    // Windows names the volume it runs from. Throws disk::Error naming the path when a record or an
    // index on the way is damaged.
    Found Resolve(std::string_view inside);

    // The folders (links to folders too) in the folder at `inside`, by their long names, in the
    // index's order; none when it is no folder.
    std::vector<std::string> Subfolders(std::string_view inside);

    // The file at `record` (as Resolve found it), through The Sleuth Kit, to read its data. `path`
    // names it in messages.
    TskFile Open(std::uint64_t record, const std::string& path);

private:
    struct Node;
    static constexpr std::size_t kMaxReparseBytes = 16384;  // a reparse point's data, at most
    // An attribute list longer than this is left to The Sleuth Kit: entries for a million extents.
    static constexpr std::uint64_t kMaxAttributeList = std::uint64_t(32) << 20;

    std::string Named(const std::string& path) const;
    const Node& NodeOf(std::uint64_t reference, bool checkSequence, const std::string& path);
    std::unique_ptr<Node> ReadNode(std::uint64_t record, const std::string& path);
    // The record straight from the MFT; nullopt where it lies in no run this reads.
    std::optional<Record> ReadRecord(std::uint64_t number, const std::string& path);
    FolderIndex IndexOf(const Node& folder, const std::string& path);
    std::optional<std::vector<Run>> RunsOf(const TSK_FS_ATTR* attribute) const;
    // The bytes at `offset` of an attribute that lies in `runs`: read from the volume and kept; false
    // where they lie in no run (sparse, past what was written).
    bool ReadRuns(const std::vector<Run>& runs, std::uint64_t initialized, std::uint64_t offset, void* buffer,
                  std::size_t length);
    std::vector<std::uint8_t> UpCaseTable();

    TSK_FS_INFO* fs_;
    std::string where_;
    VolumeReader read_;
    std::uint64_t length_;
    UpCase upcase_;
    std::optional<std::vector<Run>> mftRuns_;
    std::map<std::uint64_t, std::unique_ptr<Node>> nodes_;                               // records read, by number
    std::map<std::pair<std::uint64_t, std::size_t>, std::vector<std::uint8_t>> pieces_;  // by place, length
    std::uint64_t keptBytes_ = 0;
    static constexpr std::uint64_t kMaxKeptBytes = std::uint64_t(8) << 20;
};

}  // namespace disk::ntfs
