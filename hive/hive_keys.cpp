// A few keys of a hive read on demand: the base block, then only the cells on the way to each key
// asked for and that key's values, in 4 KiB pages read once each. The checks are those of the whole
// reader for every cell read (its records decoded by hive_cells.h, as the whole reader's are), less
// the ones that need the whole file (each bin's bounds, each cell reached once): a cell must lie
// inside the bins, be in use and fit them.
#include "byte_order.h"
#include "hive.h"
#include "hive_cells.h"
#include "hive_format.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace hive {
namespace {

using namespace format;

constexpr std::uint32_t kPage = kPageSize;

bool Clean(std::span<const std::uint8_t> block) {
    return block.size() >= kBaseBlockSize && ReadLe32(&block[base::kSeq1]) == ReadLe32(&block[base::kSeq2]) &&
           ReadLe32(&block[base::kChecksum]) == BaseBlockChecksum(block.data());
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = Upcase(c);
    return out;
}

// The keys asked for, as a tree of upper-cased names.
struct Wanted {
    std::u16string upper;
    bool values = false;
    std::vector<std::unique_ptr<Wanted>> children;

    Wanted* Child(std::u16string_view name) {
        const std::u16string u = Upper(name);
        for (auto& c : children)
            if (c->upper == u) return c.get();
        children.push_back(std::make_unique<Wanted>());
        children.back()->upper = u;
        return children.back().get();
    }
    // The key asked for by that name, else every subkey's (kAnySubkey), else none.
    const Wanted* Find(std::u16string_view name) const {
        const std::u16string u = Upper(name);
        const Wanted* any = nullptr;
        for (const auto& c : children) {
            if (c->upper == u) return c.get();
            if (c->upper == kAnySubkey) any = c.get();
        }
        return any;
    }
    bool AnySubkey() const {
        return std::any_of(children.begin(), children.end(), [](const auto& c) { return c->upper == kAnySubkey; });
    }
};

Wanted TreeOf(std::span<const std::vector<std::u16string>> paths) {
    Wanted root;
    for (const auto& path : paths) {
        Wanted* at = &root;
        for (const auto& name : path) at = at->Child(name);
        at->values = true;
    }
    return root;
}

// Passes on only the keys of `wanted`, for a hive that had to be read whole.
class Filter : public Visitor {
public:
    Filter(const Wanted& root, Visitor& out) : root_(root), out_(out) {}
    void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) override {
        const Wanted* at = stack_.empty() ? &root_ : stack_.back() != nullptr ? stack_.back()->Find(name) : nullptr;
        stack_.push_back(at);
        if (at != nullptr) out_.BeginKey(name, className, lastWritten);
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (stack_.back() != nullptr && stack_.back()->values) out_.Value(name, type, data);
    }
    void EndKey() override {
        if (stack_.back() != nullptr) out_.EndKey();
        stack_.pop_back();
    }

private:
    const Wanted& root_;
    Visitor& out_;
    std::vector<const Wanted*> stack_;
};

class OnDemand {
public:
    OnDemand(const std::string& name, const PageReader& read, std::uint32_t binsSize, std::uint32_t minor,
             Visitor& visitor)
        : name_(name), read_(read), binsSize_(binsSize), minor_(minor), visitor_(visitor) {}

    void Key(std::uint32_t off, std::uint32_t from, const Wanted& wanted) {
        const Cell cell = Get(off, from, cells::kKeyNode);
        const cells::KeyNode key = cells::Key(*this, off, cell);
        std::u16string className;
        cells::ClassName(*this, off, key, className);
        visitor_.BeginKey(key.name.Text(), className, key.Written());
        if (wanted.values) Values(off, key.ValueCount(), key.Values());
        if (wanted.AnySubkey()) {
            // Every subkey's node is read, in the hive's order, as the whole reader walks them.
            if (key.SubkeyCount() > 0)
                EachSubkey(off, key.Subkeys(), [&](std::uint32_t sub, std::uint32_t list) {
                    const std::u16string subName = KeyName(sub, list);
                    Key(sub, list, *wanted.Find(subName));
                });
            visitor_.EndKey();
            return;
        }
        for (const auto& child : wanted.children)
            if (const std::uint32_t sub = Subkey(off, key.SubkeyCount(), key.Subkeys(), child->upper); sub != kNowhere)
                Key(sub, off, *child);
        visitor_.EndKey();
    }

    // The source of cells (hive_cells.h): each cell's bytes copied from the pages.
    using Cell = std::vector<std::uint8_t>;

    // `binsOffset` kNowhere: the base block's pointer to the root key.
    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        cells::Fail(name_, binsOffset, what);
    }

    // The data of the cell at `off`, which the record at `from` points to as its `what`.
    Cell Get(std::uint32_t off, std::uint32_t from, const char* what) {
        if (off == kNowhere || off % kCellAlign != 0 || off < kBinHeaderSize ||
            std::uint64_t(off) + kCellSizeField > binsSize_)
            Fail(from, cells::OutsideBins(what, off));
        std::uint8_t head[kCellSizeField];
        Bytes(off, kCellSizeField, head);
        const std::int64_t size = std::int32_t(ReadLe32(head));
        if (size >= 0) Fail(off, cells::FreeCell(what));
        if (std::uint64_t(-size) < kCellSizeField || std::uint64_t(off) + std::uint64_t(-size) > binsSize_)
            Fail(off, cells::PastEnd(what, std::uint64_t(-size), "the hive bins"));
        Cell cell(std::size_t(-size) - kCellSizeField);
        Bytes(off + kCellSizeField, std::uint32_t(cell.size()), cell.data());
        return cell;
    }

    // Without the whole file no cell is known to be reached twice.
    void Claim(std::uint32_t, const char*) {}

private:
    // The name of the key node at `off`, which the list at `from` points to.
    std::u16string KeyName(std::uint32_t off, std::uint32_t from) {
        return cells::Key(*this, off, Get(off, from, cells::kKeyNode)).name.Text();
    }

    // `length` bytes at `off` of the bins, from the pages read so far or read now.
    void Bytes(std::uint32_t off, std::uint32_t length, std::uint8_t* out) {
        while (length > 0) {
            const std::uint32_t page = off / kPage, into = off % kPage, n = std::min(length, kPage - into);
            auto it = pages_.find(page);
            if (it == pages_.end()) {
                std::vector<std::uint8_t> bytes(kPage);
                read_(kBaseBlockSize + std::uint64_t(page) * kPage, bytes.data(), kPage);
                it = pages_.emplace(page, std::move(bytes)).first;
            }
            std::memcpy(out, it->second.data() + into, n);
            out += n, off += n, length -= n;
        }
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        const Cell list = cells::ValueList(*this, key, count, listOff);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = ReadLe32(&list[4 * i]);
            const Cell cell = Get(off, listOff, cells::kValue);
            const cells::ValueRecord value = cells::Value(*this, off, cell);
            const std::u16string name = value.name.Text();
            Cell held;
            visitor_.Value(name, value.Type(), cells::Data(*this, off, value, minor_, held, big_));
        }
    }

    // Each subkey of `key` by its node's offset and the list that points to it.
    template <typename Each>
    void EachSubkey(std::uint32_t key, std::uint32_t listOff, const Each& each) {
        cells::EachLeaf(*this, key, listOff, [&](const cells::Leaf<Cell>& leaf) {
            for (std::uint32_t i = 0; i < leaf.list.count; ++i) each(leaf.At(i), leaf.off);
            return true;
        });
    }

    // The key node among `key`'s subkeys whose upper-cased name is `upper`, or kNowhere. The hashes
    // of lh lists spare reading the nodes that cannot match; a hash that does not match its key's
    // name (the whole reader never looks at them) is passed over only when every hash is tried.
    std::uint32_t Subkey(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, const std::u16string& upper) {
        if (count == 0) return kNowhere;
        const std::uint32_t hash = NameHash(upper);
        for (const bool trustHashes : {true, false}) {
            std::uint32_t found = kNowhere;
            cells::EachLeaf(*this, key, listOff, [&](const cells::Leaf<Cell>& leaf) {
                const bool lh = leaf.list.hashes && trustHashes;
                for (std::uint32_t i = 0; i < leaf.list.count && found == kNowhere; ++i)
                    if ((!lh || leaf.HashAt(i) == hash) && Upper(KeyName(leaf.At(i), leaf.off)) == upper)
                        found = leaf.At(i);
                return found == kNowhere;
            });
            if (found != kNowhere) return found;
        }
        return kNowhere;
    }

    const std::string& name_;
    const PageReader& read_;
    std::uint32_t binsSize_, minor_;
    Visitor& visitor_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> pages_;
    std::vector<std::uint8_t> big_;
};

}  // namespace

bool NeedsLogs(std::span<const std::uint8_t> baseBlock) {
    return !Clean(baseBlock);
}

ReadReport ReadHiveKeys(const std::string& name, std::uint64_t size, const PageReader& read,
                        std::span<const NamedBytes> logs, std::span<const std::vector<std::u16string>> paths,
                        Visitor& visitor) {
    const Wanted wanted = TreeOf(paths);
    std::vector<std::uint8_t> block(kBaseBlockSize);
    if (size < kBaseBlockSize) {
        block.resize(std::size_t(size));
        read(0, block.data(), block.size());
        throw HiveError(name + ": " + ShortFileFault(block));
    }
    read(0, block.data(), block.size());
    const bool regf = LooksLikeHive(block);
    const std::uint32_t binsSize = ReadLe32(&block[base::kBinsSize]), minor = ReadLe32(&block[base::kMinor]);
    // A clean hive whose base block the whole reader would take is read on demand; anything else is
    // read whole, so that replay, warnings and refusals are the whole reader's.
    if (regf && Clean(block) && ReadLe32(&block[base::kMajor]) == base::kMajorVersion && minor >= base::kMinMinor &&
        minor <= base::kMaxMinor && ReadLe32(&block[base::kType]) == base::kTypePrimary &&
        ReadLe32(&block[base::kFormat]) == base::kFileFormat && binsSize % kPageSize == 0 && binsSize != 0 &&
        kBaseBlockSize + std::uint64_t(binsSize) <= size) {
        OnDemand(name, read, binsSize, minor, visitor).Key(ReadLe32(&block[base::kRoot]), kNowhere, wanted);
        return {};
    }
    if (size > kMaxFileSize) throw HiveError(name + ": larger than any hive");
    std::vector<std::uint8_t> whole(size);
    read(0, whole.data(), whole.size());
    Filter filter(wanted, visitor);
    return ReadHive({name, whole}, logs, filter);
}

}  // namespace hive
