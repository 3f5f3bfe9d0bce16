#pragma once
// An NTFS file record as a folder's lookup reads it: its update sequence undone, then what the walk
// needs of its attributes (a folder's index of names, where its blocks lie, a junction or link).
// Pure functions over bytes, so that hostile records can be fuzzed without a volume around them.
// Anything out of the ordinary for a folder on the way (an attribute list held out of its record, a
// compressed index) makes the record incomplete, and the caller asks The Sleuth Kit instead.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace disk::ntfs {

// Puts back the last two bytes of each 512-byte stride of a file record or index block from its
// update sequence. Returns what is wrong ("" when nothing): another signature, an update sequence
// that does not fit, or a torn write.
std::string UndoFixups(std::span<std::uint8_t> bytes, const char* signature);

// A stretch of clusters of a non-resident attribute: `length` clusters from cluster `vcn` of the
// attribute lie at cluster `lcn` of the volume; none for a sparse stretch.
struct Run {
    std::uint64_t vcn = 0;
    std::uint64_t length = 0;
    std::optional<std::uint64_t> lcn;
};

// The run list at the start of `bytes`, from VCN `first`. Throws disk::Error (no name) when it runs
// past its bytes or the volume's `clusters`.
std::vector<Run> DecodeRuns(std::span<const std::uint8_t> bytes, std::uint64_t first, std::uint64_t clusters);

// A piece of a non-resident attribute held in one record (a folder's $I30 allocation, an attribute
// list): its runs from `startVcn`; the sizes only in the piece that starts at 0.
struct IndexExtent {
    std::uint64_t startVcn = 0;
    std::vector<Run> runs;
    std::uint64_t size = 0, initialized = 0;
};

struct Record {
    std::uint16_t sequence = 0;
    bool inUse = false;
    bool folder = false;
    std::uint64_t base = 0;             // for a record holding attributes of another file's: that one's reference
    bool complete = true;               // false: held in a way only The Sleuth Kit reads (compressed, say)
    std::vector<std::uint64_t> listed;  // records its attribute list names for its index or reparse point
    IndexExtent list;                   // where the attribute list lies when not in the record
    std::optional<std::vector<std::uint8_t>> indexRoot;  // the value of a folder's $I30 root
    std::vector<IndexExtent> index;                      // where its index blocks lie
    std::optional<std::vector<std::uint8_t>> reparse;    // the value of $REPARSE_POINT
};

// The record in `bytes` (its update sequence undone) of a volume of `clusters` clusters. Throws
// disk::Error (no name) when it is damaged.
Record ParseRecord(std::span<const std::uint8_t> bytes, std::uint64_t clusters);

// The records an attribute list's value names for a folder's index or a reparse point (references).
// Throws disk::Error (no name) for an entry past its end.
std::vector<std::uint64_t> ListedRecords(std::span<const std::uint8_t> list);

// A folder's index extents, from however many records, put together in order: its runs, size and
// initialized size. Throws disk::Error (no name) when they leave a gap or overlap.
IndexExtent JoinExtents(std::vector<IndexExtent> extents);

}  // namespace disk::ntfs
