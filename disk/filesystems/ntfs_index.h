#pragma once
// A folder's index of names ($I30) on NTFS, searched as NTFS searches it: from the index root down
// the B-tree of index blocks, names compared as NTFS collates file names (through the volume's
// upper-case table). Only the nodes on the way are read: neither the folder's size nor its deleted
// entries cost anything. Pure functions over a reader of the index's blocks, so that hostile index
// blocks can be fuzzed without a volume around them.
#include "ascii.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace disk::ntfs {

// The B-tree is this deep at most: a folder of millions of names is a handful of levels deep, and
// a path longer than this is a damaged or hostile index.
constexpr int kMaxIndexDepth = 32;

// The volume's upper-case table ($UpCase): NTFS compares names by it.
class UpCase {
public:
    UpCase();  // ASCII letters only, for a volume whose table cannot be read
    // $UpCase's data, kUpCaseBytes of it; anything shorter falls back to ASCII letters.
    explicit UpCase(std::span<const std::uint8_t> table);
    // The table read by `load` only once a unit outside ASCII is compared: every table maps ASCII
    // as ASCII letters do, and most names are ASCII.
    explicit UpCase(std::function<std::vector<std::uint8_t>()> load);
    char16_t operator()(char16_t unit) const {
        if (unit < 0x80) return AsciiUpper(unit);
        if (load_) Load();
        return table_[unit];
    }

private:
    void Load() const;
    mutable std::function<std::vector<std::uint8_t>()> load_;
    mutable std::vector<char16_t> table_;
};

// Below zero, zero, above zero: `a` before, equal to or after `b` in a folder's index.
int Collate(std::u16string_view a, std::u16string_view b, const UpCase& upcase);

struct IndexEntry {
    std::uint64_t reference = 0;  // the file's record number and sequence number
    std::u16string name;
    std::uint8_t nameSpace = 0;    // filename::kPosix ... kWin32AndDos
    std::uint32_t attributes = 0;  // as the folder last saw them (filename::kDirectory, ...)
};

// Reads `length` bytes at `offset` of the folder's $INDEX_ALLOCATION, or throws disk::Error.
using IndexReader = std::function<void(std::uint64_t offset, void* buffer, std::size_t length)>;

class FolderIndex {
public:
    // `root`: the value of the folder's $INDEX_ROOT; `allocation`: the size of its $INDEX_ALLOCATION
    // (0 when it has none); `clusterSize` sets the unit of the blocks' VCNs. `name` names the folder
    // in messages. Throws disk::Error when the root is no index of file names.
    FolderIndex(std::string name, std::span<const std::uint8_t> root, std::uint64_t allocation,
                std::uint32_t clusterSize, IndexReader read);

    // The entry whose name equals `name` without regard to case; nullopt when there is none.
    // Throws disk::Error naming the folder when a node on the way is damaged.
    std::optional<IndexEntry> Find(std::u16string_view name, const UpCase& upcase);
    // Every entry, in the index's order; each block is read once.
    void ForEach(const std::function<void(const IndexEntry&)>& each);

private:
    struct Raw;
    std::vector<Raw> Entries(std::span<const std::uint8_t> node, const std::string& where) const;
    std::vector<std::uint8_t> Block(std::uint64_t vcn) const;
    void Walk(std::span<const std::uint8_t> node, const std::string& where, int depth, std::vector<std::uint64_t>& seen,
              const std::function<void(const IndexEntry&)>& each);
    [[noreturn]] void Damaged(const std::string& where, const std::string& what) const;

    std::string name_;
    std::vector<std::uint8_t> root_;
    std::uint64_t allocation_;
    std::uint32_t blockSize_ = 0;
    std::uint32_t vcnUnit_ = 0;
    IndexReader read_;
};

}  // namespace disk::ntfs
