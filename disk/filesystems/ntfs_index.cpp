#include "ntfs_index.h"

#include "ascii.h"
#include "byte_order.h"
#include "disk.h"
#include "ntfs_format.h"
#include "ntfs_record.h"

#include <algorithm>
#include <cstring>

namespace disk::ntfs {
namespace {

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return ReadLe16(b.data() + at);
}
std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return ReadLe32(b.data() + at);
}
std::uint64_t Get64(std::span<const std::uint8_t> b, std::size_t at) {
    return ReadLe64(b.data() + at);
}

}  // namespace

UpCase::UpCase() : table_(65536) {
    for (std::size_t u = 0; u < table_.size(); ++u) table_[u] = AsciiUpper(char16_t(u));
}

UpCase::UpCase(std::span<const std::uint8_t> table) : UpCase() {
    if (table.size() < kUpCaseBytes) return;
    for (std::size_t u = 0; u < table_.size(); ++u) table_[u] = char16_t(Get16(table, 2 * u));
}

UpCase::UpCase(std::function<std::vector<std::uint8_t>()> load) : UpCase() {
    load_ = std::move(load);
}

void UpCase::Load() const {
    const auto load = std::move(load_);
    load_ = nullptr;
    const std::vector<std::uint8_t> table = load();
    if (table.size() < kUpCaseBytes) return;
    for (std::size_t u = 0; u < table_.size(); ++u) table_[u] = char16_t(Get16(table, 2 * u));
}

int Collate(std::u16string_view a, std::u16string_view b, const UpCase& upcase) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t x = upcase(a[i]), y = upcase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// One entry of a node as it lies there.
struct FolderIndex::Raw {
    bool last = false;
    std::optional<std::uint64_t> subnode;  // the VCN of the node before it
    IndexEntry entry;                      // when not last
};

FolderIndex::FolderIndex(std::string name, std::span<const std::uint8_t> root, std::uint64_t allocation,
                         std::uint32_t clusterSize, IndexReader read)
    : name_(std::move(name)), root_(root.begin(), root.end()), allocation_(allocation), read_(std::move(read)) {
    if (root_.size() < root::kNode + node::kSize) Damaged("its index root", "shorter than its header");
    if (Get32(root_, root::kIndexedType) != root::kFileNames ||
        Get32(root_, root::kCollation) != root::kCollateFileName)
        Damaged("its index root", "not an index of file names");
    blockSize_ = Get32(root_, root::kBlockSize);
    if (blockSize_ < kMinIndexBlock || blockSize_ > kMaxIndexBlock || (blockSize_ & (blockSize_ - 1)) != 0)
        Damaged("its index root", "index blocks of " + std::to_string(blockSize_) + " bytes");
    if (clusterSize == 0) Damaged("its index root", "a volume without a cluster size");
    vcnUnit_ = blockSize_ >= clusterSize ? clusterSize : std::uint32_t(kSmallIndexVcnUnit);
}

void FolderIndex::Damaged(const std::string& where, const std::string& what) const {
    throw Error{name_ + ": the folder's index of names is damaged (" + where + ": " + what + ")"};
}

std::vector<FolderIndex::Raw> FolderIndex::Entries(std::span<const std::uint8_t> area, const std::string& where) const {
    const std::uint32_t first = Get32(area, node::kEntriesOffset), end = Get32(area, node::kIndexLength);
    if (first < node::kSize || first > end || end > area.size())
        Damaged(where, "entries from " + std::to_string(first) + " to " + std::to_string(end) + " in a node of " +
                           std::to_string(area.size()) + " bytes");
    const bool children = (area[node::kFlags] & node::kHasChildren) != 0;
    std::vector<Raw> out;
    for (std::size_t at = first;;) {
        if (at + entry::kMinSize > end) Damaged(where, "the entries run past the node without a last one");
        const std::size_t length = Get16(area, at + entry::kLength);
        const std::uint16_t flags = Get16(area, at + entry::kFlags);
        const std::size_t tail = (flags & entry::kSubnode) ? 8 : 0;
        if (length < entry::kMinSize + tail || length > end - at)
            Damaged(where, "an entry of " + std::to_string(length) + " bytes at " + std::to_string(at));
        const auto e = area.subspan(at, length);
        Raw raw;
        raw.last = (flags & entry::kLast) != 0;
        if (tail != 0) {
            if (!children) Damaged(where, "an entry with a subnode in a node without children");
            raw.subnode = Get64(e, length - 8);
        }
        if (!raw.last) {
            const std::size_t keyLength = Get16(e, entry::kKeyLength);
            if (keyLength < filename::kName || entry::kKey + keyLength > length - tail)
                Damaged(where,
                        "a name of " + std::to_string(keyLength) + " bytes in an entry of " + std::to_string(length));
            const auto key = e.subspan(entry::kKey, keyLength);
            const std::size_t units = key[filename::kNameLength];
            if (filename::kName + 2 * units > keyLength) Damaged(where, "a name longer than its entry");
            raw.entry.reference = Get64(e, entry::kReference);
            raw.entry.nameSpace = key[filename::kNameSpace];
            raw.entry.attributes = Get32(key, filename::kAttributes);
            raw.entry.name.resize(units);
            for (std::size_t i = 0; i < units; ++i) raw.entry.name[i] = char16_t(Get16(key, filename::kName + 2 * i));
        }
        out.push_back(std::move(raw));
        if (out.back().last) return out;
        at += length;
    }
}

std::vector<std::uint8_t> FolderIndex::Block(std::uint64_t vcn) const {
    const std::string where = "the index block at VCN " + std::to_string(vcn);
    if (allocation_ < blockSize_ || vcn > (allocation_ - blockSize_) / vcnUnit_)
        Damaged(where, "past the end of the index (" + std::to_string(allocation_) + " bytes)");
    std::vector<std::uint8_t> b(blockSize_);
    read_(vcn * vcnUnit_, b.data(), b.size());
    if (const std::string fault = UndoFixups(b, block::kSignature); !fault.empty()) Damaged(where, fault);
    if (Get64(b, block::kVcn) != vcn) Damaged(where, "it says it lies at VCN " + std::to_string(Get64(b, block::kVcn)));
    return b;
}

std::optional<IndexEntry> FolderIndex::Find(std::u16string_view name, const UpCase& upcase) {
    std::vector<std::uint64_t> seen;
    std::vector<std::uint8_t> block;
    std::span<const std::uint8_t> area = std::span<const std::uint8_t>(root_).subspan(root::kNode);
    std::string where = "its index root";
    for (;;) {
        std::optional<std::uint64_t> down;
        for (Raw& raw : Entries(area, where)) {
            if (!raw.last) {
                const int c = Collate(name, raw.entry.name, upcase);
                if (c == 0) return std::move(raw.entry);
                if (c > 0) continue;
            }
            down = raw.subnode;
            break;
        }
        if (!down) return std::nullopt;
        if (std::find(seen.begin(), seen.end(), *down) != seen.end())
            Damaged("the index block at VCN " + std::to_string(*down), "reached again on the way down (a loop)");
        if (seen.size() >= std::size_t(kMaxIndexDepth))
            Damaged("the index block at VCN " + std::to_string(*down),
                    "deeper than " + std::to_string(kMaxIndexDepth) + " levels");
        seen.push_back(*down);
        block = Block(*down);
        area = std::span<const std::uint8_t>(block).subspan(block::kHeader);
        where = "the index block at VCN " + std::to_string(*down);
    }
}

void FolderIndex::Walk(std::span<const std::uint8_t> area, const std::string& where, int depth,
                       std::vector<std::uint64_t>& seen, const std::function<void(const IndexEntry&)>& each) {
    for (const Raw& raw : Entries(area, where)) {
        if (raw.subnode) {
            const std::string below = "the index block at VCN " + std::to_string(*raw.subnode);
            if (std::find(seen.begin(), seen.end(), *raw.subnode) != seen.end())
                Damaged(below, "reached twice (a loop)");
            if (depth >= kMaxIndexDepth) Damaged(below, "deeper than " + std::to_string(kMaxIndexDepth) + " levels");
            seen.push_back(*raw.subnode);
            const std::vector<std::uint8_t> block = Block(*raw.subnode);
            Walk(std::span<const std::uint8_t>(block).subspan(block::kHeader), below, depth + 1, seen, each);
        }
        if (!raw.last) each(raw.entry);
    }
}

void FolderIndex::ForEach(const std::function<void(const IndexEntry&)>& each) {
    std::vector<std::uint64_t> seen;
    Walk(std::span<const std::uint8_t>(root_).subspan(root::kNode), "its index root", 0, seen, each);
}

}  // namespace disk::ntfs
