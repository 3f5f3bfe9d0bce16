// The walk of the key tree over a hive image whose base block has been checked: every key, value
// and class name claimed once, names that differ only in case read once, subkeys in their order.
#include "ascii.h"
#include "byte_order.h"
#include "hex.h"
#include "hive_cells.h"
#include "hive_read_parts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hive::detail {

using namespace format;

namespace {

class Walker {
public:
    Walker(const std::string& name, std::span<const std::uint8_t> image, const BaseFields& base, Visitor& visitor,
           std::vector<std::string>& warnings)
        : name_(name),
          bins_(image.subspan(kBaseBlockSize, base.binsSize)),
          minor_(base.minor),
          visitor_(visitor),
          warnings_(warnings) {}

    void Run(std::uint32_t root) {
        MapBins();
        seen_.assign((bins_.size() / kCellAlign + 63) / 64, 0);
        Key(root, kNowhere, 0);
    }

    // The source of cells (hive_cells.h): spans of the hive in memory.
    using Cell = std::span<const std::uint8_t>;

    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        cells::Fail(name_, binsOffset, what);
    }

    // The data of the cell at `off`, which the record at `from` points to as its `what`.
    Cell Get(std::uint32_t off, std::uint32_t from, const char* what) const {
        Cell data;
        std::int64_t size = 0;
        const Where where = Find(off, data, size);
        if (where == Where::InUse) return data;
        if (where == Where::OutsideBins) Fail(from, cells::OutsideBins(what, off));
        if (where == Where::OutsideItsBin)
            Fail(from, std::string("the ") + what + " points outside the cells of its bin (" + Hex(off) + ")");
        if (where == Where::Free) Fail(off, cells::FreeCell(what));
        Fail(off, cells::PastEnd(what, std::uint64_t(-size), "the end of its bin"));
    }

    // Each record belongs to one place in the tree: a second reference is a loop or a cross-link.
    void Claim(std::uint32_t off, const char* what) {
        std::uint64_t& word = seen_[off / kCellAlign / 64];
        const std::uint64_t bit = std::uint64_t(1) << (off / kCellAlign % 64);
        if (word & bit) Fail(off, std::string("the ") + what + " is reached a second time (a loop in the key tree)");
        word |= bit;
    }

private:
    void MapBins() {
        binOfPage_.assign(bins_.size() / kPageSize, 0);
        for (std::size_t off = 0; off < bins_.size();) {
            if (!HasSig(bins_, off, sig::kBin)) Fail(std::uint32_t(off), "a hive bin without its \"hbin\" signature");
            const std::uint32_t self = ReadLe32(&bins_[off + bin::kSelf]), size = ReadLe32(&bins_[off + bin::kSize]);
            if (self != off) Fail(std::uint32_t(off), "a hive bin that gives its offset as " + Hex(self));
            if (size < kPageSize || size % kPageSize != 0 || size > bins_.size() - off)
                Fail(std::uint32_t(off), "a hive bin of size " + Hex(size));
            std::fill(binOfPage_.begin() + off / kPageSize, binOfPage_.begin() + (off + size) / kPageSize,
                      std::uint32_t(off));
            off += size;
        }
    }

    enum class Where { InUse, OutsideBins, OutsideItsBin, Free, PastItsBin };

    // The data of the cell at `off`, or where it lies instead.
    Where Find(std::uint32_t off, Cell& data, std::int64_t& size) const {
        if (off == kNowhere || off >= bins_.size() || off % kCellAlign != 0) return Where::OutsideBins;
        const std::uint32_t bin = binOfPage_[off / kPageSize];
        const std::uint32_t binEnd = bin + ReadLe32(&bins_[bin + bin::kSize]);
        if (off < bin + kBinHeaderSize || off + kCellSizeField > binEnd) return Where::OutsideItsBin;
        size = std::int32_t(ReadLe32(&bins_[off]));
        if (size >= 0) return Where::Free;
        if (-size < std::int64_t(kCellSizeField) || std::uint64_t(off) + std::uint64_t(-size) > binEnd)
            return Where::PastItsBin;
        data = bins_.subspan(off + kCellSizeField, std::size_t(-size) - kCellSizeField);
        return Where::InUse;
    }

    // A name of a key node or a value, `ok` where the record reads as one (the walk refuses it
    // otherwise, when it comes to it).
    struct NameRef : cells::Name {
        bool ok = false;
    };

    NameRef NameOf(std::uint32_t off, bool isKey) const {
        NameRef name;
        Cell rec;
        std::int64_t size = 0;
        if (Find(off, rec, size) != Where::InUse) return name;
        const cells::NameFault fault = cells::NameIn(rec, isKey, name);
        name.ok = fault == cells::NameFault::None || fault == cells::NameFault::Odd;
        return name;
    }

    static char16_t Up(char16_t c) { return c < 0x80 ? AsciiUpper(c) : Upcase(c); }

    // Names in the order Windows keeps subkeys in: upper-cased, unit by unit, a prefix first.
    static int CompareUpper(const NameRef& a, const NameRef& b) {
        const std::uint32_t n = std::min(a.units, b.units);
        for (std::uint32_t i = 0; i < n; ++i) {
            const char16_t x = Up(a[i]), y = Up(b[i]);
            if (x != y) return x < y ? -1 : 1;
        }
        return a.units == b.units ? 0 : a.units < b.units ? -1 : 1;
    }

    // Of names that differ only in case Windows would find one: the first in the list is read, the
    // others are left out, each named in a warning.
    void Duplicate(const NameRef& kept, const NameRef& other, std::uint32_t otherOff, bool isKey) {
        const std::string a = Utf8(kept.Text()), b = Utf8(other.Text());
        warnings_.push_back(name_ + ": key " + KeyPath() + ": " + (isKey ? "subkeys \"" : "values \"") + a +
                            "\" and \"" + b + "\" (at offset " + Hex(std::uint64_t(otherOff) + kBaseBlockSize) +
                            ") differ only in case, which the registry does not tell apart: \"" + a +
                            "\" was read, \"" + b + "\"" + (isKey ? " and all below it" : "") + " left out");
    }

    // The indexes into `offs` of names that differ only in case from one before them, found by
    // sorting: for many values, and for a subkey list out of order.
    std::vector<std::uint32_t> SortedDuplicates(std::span<const std::uint32_t> offs, bool isKey) {
        std::vector<std::uint32_t> dropped;
        names_.resize(offs.size());
        order_.clear();
        for (std::uint32_t i = 0; i < offs.size(); ++i) {
            names_[i] = NameOf(offs[i], isKey);
            if (names_[i].ok) order_.push_back(i);
        }
        std::stable_sort(order_.begin(), order_.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return CompareUpper(names_[a], names_[b]) < 0; });
        for (std::size_t i = 0; i < order_.size();) {
            std::size_t end = i + 1;
            for (; end < order_.size() && CompareUpper(names_[order_[i]], names_[order_[end]]) == 0; ++end) {
                Duplicate(names_[order_[i]], names_[order_[end]], offs[order_[end]], isKey);
                dropped.push_back(order_[end]);
            }
            i = end;
        }
        return dropped;
    }

    static bool Among(const std::vector<std::uint32_t>& indexes, std::uint32_t i) {
        return !indexes.empty() && std::find(indexes.begin(), indexes.end(), i) != indexes.end();
    }

    // The path of the key being read, below the hive's root, as messages show it.
    std::string KeyPath() const {
        std::string out;
        // Appended in two steps: `"\\" + text` trips a false -Wrestrict in GCC 12 at -O3 (the release preset).
        for (std::size_t i = 1; i < path_.size(); ++i) out.append(1, '\\').append(Utf8(NameOf(path_[i], true).Text()));
        return out.empty() ? "\\" : out;
    }

    void Key(std::uint32_t off, std::uint32_t from, int depth) {
        if (depth >= kMaxDepth) Fail(off, TooDeepText());
        const cells::KeyNode key = cells::Key(*this, off, cells::Fetch(*this, off, from, cells::kKeyNode));
        key.name.CopyTo(name_buf_);
        cells::ClassName(*this, off, key, class_buf_);
        path_.push_back(off);
        visitor_.BeginKey(name_buf_, class_buf_, key.Written());
        Values(off, key.ValueCount(), key.Values());
        Subkeys(off, key.SubkeyCount(), key.Subkeys(), depth);
        visitor_.EndKey();
        path_.pop_back();
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        const Cell list = cells::ValueList(*this, key, count, listOff);
        // A few values are compared pairwise as they are read; many are sorted first.
        constexpr std::uint32_t kPairwise = 16;
        std::vector<std::uint32_t> dropped;
        if (count > kPairwise) {
            offs_.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) offs_[i] = ReadLe32(&list[4 * i]);
            dropped = SortedDuplicates(offs_, false);
        }
        read_.clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = ReadLe32(&list[4 * i]);
            if (Among(dropped, i)) continue;
            const cells::ValueRecord value = cells::Value(*this, off, cells::Fetch(*this, off, listOff, cells::kValue));
            if (count <= kPairwise) {
                const NameRef name{value.name, true};
                const auto same = std::find_if(read_.begin(), read_.end(), [&](const NameRef& r) {
                    return r.units == name.units && CompareUpper(r, name) == 0;
                });
                if (same != read_.end()) {
                    Duplicate(*same, name, off, false);
                    continue;
                }
                read_.push_back(name);
            }
            value.name.CopyTo(value_buf_);
            Cell held;
            visitor_.Value(value_buf_, value.Type(), cells::Data(*this, off, value, minor_, held, big_));
        }
    }

    void Subkeys(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, int depth) {
        if (count == 0) return;
        // The lists are checked whole first, so a wrong count is refused before any subkey is read.
        std::vector<cells::Leaf<Cell>> leaves;
        cells::EachLeaf(*this, key, listOff, [&](cells::Leaf<Cell>&& leaf) {
            leaves.push_back(leaf);
            return true;
        });
        std::uint64_t total = 0;
        for (const auto& leaf : leaves) total += leaf.list.count;
        if (total != count)
            Fail(key,
                 "a key node with " + std::to_string(count) + " subkeys whose lists hold " + std::to_string(total));
        // A sorted list holds names alike but for case side by side; one out of order is sorted here.
        NameRef last;
        bool sorted = true;
        std::vector<std::uint32_t> dropped;
        std::uint32_t index = 0;
        for (const auto& leaf : leaves) {
            for (std::uint32_t i = 0; i < leaf.list.count; ++i, ++index) {
                const std::uint32_t child = leaf.At(i);
                if (sorted) {
                    const NameRef name = NameOf(child, true);
                    const int order = name.ok && last.ok ? CompareUpper(last, name) : -1;
                    if (order == 0) {
                        Duplicate(last, name, child, true);
                        continue;
                    }
                    if (order > 0) {
                        sorted = false;
                        std::vector<std::uint32_t> all;
                        for (const auto& l : leaves)
                            for (std::uint32_t j = 0; j < l.list.count; ++j) all.push_back(l.At(j));
                        dropped = SortedDuplicates(all, true);
                    } else if (name.ok) {
                        last = name;
                    }
                }
                if (!Among(dropped, index)) Key(child, leaf.off, depth + 1);
            }
        }
    }

    const std::string& name_;
    std::span<const std::uint8_t> bins_;
    std::uint32_t minor_;
    Visitor& visitor_;
    std::vector<std::string>& warnings_;
    std::vector<std::uint32_t> binOfPage_;
    std::vector<std::uint64_t> seen_;
    std::vector<std::uint32_t> path_;  // key nodes from the root to the key being read
    std::vector<std::uint32_t> offs_;
    std::vector<NameRef> names_, read_;
    std::vector<std::uint32_t> order_;
    std::u16string name_buf_, class_buf_, value_buf_;
    std::vector<std::uint8_t> big_;
};

}  // namespace

void WalkTree(const std::string& name, std::span<const std::uint8_t> image, const BaseFields& fields, Visitor& visitor,
              std::vector<std::string>& warnings) {
    Walker(name, image, fields, visitor, warnings).Run(fields.root);
}

}  // namespace hive::detail
