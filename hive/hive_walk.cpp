// The walk of the key tree over a hive image whose base block has been checked: every key, value
// and class name claimed once, names that differ only in case read once, subkeys in their order.
#include "hex.h"
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

private:
    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        throw HiveError(name_ + ": at offset " + Hex(std::uint64_t(binsOffset) + kBaseBlockSize) + ": " + what);
    }

    void MapBins() {
        binOfPage_.assign(bins_.size() / kPageSize, 0);
        for (std::size_t off = 0; off < bins_.size();) {
            if (!HasSig(bins_, off, sig::kBin)) Fail(std::uint32_t(off), "a hive bin without its \"hbin\" signature");
            const std::uint32_t self = Get32(&bins_[off + bin::kSelf]), size = Get32(&bins_[off + bin::kSize]);
            if (self != off) Fail(std::uint32_t(off), "a hive bin that gives its offset as " + Hex(self));
            if (size < kPageSize || size % kPageSize != 0 || size > bins_.size() - off)
                Fail(std::uint32_t(off), "a hive bin of size " + Hex(size));
            std::fill(binOfPage_.begin() + off / kPageSize, binOfPage_.begin() + (off + size) / kPageSize,
                      std::uint32_t(off));
            off += size;
        }
    }

    // The data of the cell at `off`, or why there is none.
    const char* Find(std::uint32_t off, std::span<const std::uint8_t>& data, std::int64_t& size) const {
        if (off == kNowhere || off >= bins_.size() || off % kCellAlign != 0) return "points outside the hive bins";
        const std::uint32_t bin = binOfPage_[off / kPageSize];
        const std::uint32_t binEnd = bin + Get32(&bins_[bin + bin::kSize]);
        if (off < bin + kBinHeaderSize || off + kCellSizeField > binEnd) return "points outside the cells of its bin";
        size = std::int32_t(Get32(&bins_[off]));
        if (size >= 0) return "is a free cell";
        if (-size < std::int64_t(kCellSizeField) || std::uint64_t(off) + std::uint64_t(-size) > binEnd)
            return "past the end";
        data = bins_.subspan(off + kCellSizeField, std::size_t(-size) - kCellSizeField);
        return nullptr;
    }

    // The data of the cell at `off`, which the record at `from` points to as its `what`.
    std::span<const std::uint8_t> Cell(std::uint32_t off, std::uint32_t from, const char* what) const {
        std::span<const std::uint8_t> data;
        std::int64_t size = 0;
        const char* fault = Find(off, data, size);
        if (fault == nullptr) return data;
        const std::string the = std::string("the ") + what;
        if (size >= 0 && std::strcmp(fault, "is a free cell") == 0) Fail(off, the + " is a free cell");
        if (std::strcmp(fault, "past the end") == 0)
            Fail(off, the + " is a cell of size " + Hex(std::uint64_t(-size)) + ", past the end of its bin");
        Fail(from, the + " " + fault + " (" + Hex(off) + ")");
    }

    // Each record belongs to one place in the tree: a second reference is a loop or a cross-link.
    std::span<const std::uint8_t> Claim(std::uint32_t off, std::uint32_t from, const char* what) {
        auto cell = Cell(off, from, what);
        std::uint64_t& word = seen_[off / kCellAlign / 64];
        const std::uint64_t bit = std::uint64_t(1) << (off / kCellAlign % 64);
        if (word & bit) Fail(off, std::string("the ") + what + " is reached a second time (a loop in the key tree)");
        word |= bit;
        return cell;
    }

    // UTF-16LE or Latin-1 bytes into UTF-16 units.
    static void Text(std::u16string& out, const std::uint8_t* p, std::size_t bytes, bool latin1) {
        if (latin1) {
            out.resize(bytes);
            for (std::size_t i = 0; i < bytes; ++i) out[i] = p[i];
        } else {
            out.resize(bytes / 2);
            for (std::size_t i = 0; i < bytes / 2; ++i) out[i] = char16_t(Get16(p + 2 * i));
        }
    }

    // A name where the hive keeps it, Latin-1 or UTF-16LE, read without copying.
    struct NameRef {
        const std::uint8_t* p = nullptr;
        std::uint32_t units = 0;
        bool latin1 = false;
        bool ok = false;  // the record reads as a key node or a value; the walk refuses it otherwise
        char16_t operator[](std::uint32_t i) const { return latin1 ? char16_t(p[i]) : char16_t(Get16(p + 2 * i)); }
        std::u16string Text() const {
            std::u16string out(units, u'\0');
            for (std::uint32_t i = 0; i < units; ++i) out[i] = (*this)[i];
            return out;
        }
    };

    NameRef NameOf(std::uint32_t off, bool isKey) const {
        NameRef name;
        std::span<const std::uint8_t> rec;
        std::int64_t size = 0;
        if (Find(off, rec, size) != nullptr) return name;
        const std::size_t head = isKey ? nk::kName : vk::kName;
        if (rec.size() < head || !HasSig(rec, 0, isKey ? sig::kKey : sig::kValue)) return name;
        const std::size_t bytes = Get16(&rec[isKey ? nk::kNameBytes : vk::kNameBytes]);
        if (head + bytes > rec.size()) return name;
        name.latin1 = isKey ? Get16(&rec[nk::kFlags]) & nk::kFlagLatin1 : Get16(&rec[vk::kFlags]) & vk::kFlagLatin1;
        name.p = &rec[head];
        name.units = std::uint32_t(name.latin1 ? bytes : bytes / 2);
        name.ok = true;
        return name;
    }

    static char16_t Up(char16_t c) { return c < 0x80 ? (c >= u'a' && c <= u'z' ? char16_t(c - 32) : c) : Upcase(c); }

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
        if (depth >= kMaxDepth) Fail(off, "keys nested deeper than " + std::to_string(kMaxDepth) + " levels");
        auto rec = Claim(off, from, "key node");
        if (rec.size() < nk::kName || !HasSig(rec, 0, sig::kKey)) Fail(off, "not a key node (\"nk\")");
        const std::uint16_t flags = Get16(&rec[nk::kFlags]);
        const std::size_t nameBytes = Get16(&rec[nk::kNameBytes]), classBytes = Get16(&rec[nk::kClassBytes]);
        if (nk::kName + nameBytes > rec.size()) Fail(off, "a key name longer than its cell");
        const bool latin1 = flags & nk::kFlagLatin1;
        if (!latin1 && nameBytes % 2) Fail(off, "a UTF-16 key name of an odd number of bytes");
        Text(name_buf_, &rec[nk::kName], nameBytes, latin1);
        class_buf_.clear();
        if (classBytes > 0) {
            auto cls = Claim(Get32(&rec[nk::kClass]), off, "class name");
            if (classBytes > cls.size()) Fail(off, "a class name longer than its cell");
            if (classBytes % 2) Fail(off, "a class name of an odd number of bytes");
            Text(class_buf_, cls.data(), classBytes, false);
        }
        path_.push_back(off);
        visitor_.BeginKey(name_buf_, class_buf_, Get64(&rec[nk::kWritten]));
        Values(off, Get32(&rec[nk::kValueCount]), Get32(&rec[nk::kValues]));
        Subkeys(off, Get32(&rec[nk::kSubkeyCount]), Get32(&rec[nk::kSubkeys]), depth);
        visitor_.EndKey();
        path_.pop_back();
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        auto list = Claim(listOff, key, "value list");
        if (std::uint64_t(count) * 4 > list.size())
            Fail(listOff, std::to_string(count) + " values in a list cell too small for them");
        // A few values are compared pairwise as they are read; many are sorted first.
        constexpr std::uint32_t kPairwise = 16;
        std::vector<std::uint32_t> dropped;
        if (count > kPairwise) {
            offs_.resize(count);
            for (std::uint32_t i = 0; i < count; ++i) offs_[i] = Get32(&list[4 * i]);
            dropped = SortedDuplicates(offs_, false);
        }
        read_.clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = Get32(&list[4 * i]);
            if (Among(dropped, i)) continue;
            auto rec = Claim(off, listOff, "value");
            if (rec.size() < vk::kName || !HasSig(rec, 0, sig::kValue)) Fail(off, "not a value (\"vk\")");
            const std::size_t nameBytes = Get16(&rec[vk::kNameBytes]);
            const bool latin1 = Get16(&rec[vk::kFlags]) & vk::kFlagLatin1;
            if (vk::kName + nameBytes > rec.size()) Fail(off, "a value name longer than its cell");
            if (!latin1 && nameBytes % 2) Fail(off, "a UTF-16 value name of an odd number of bytes");
            if (count <= kPairwise) {
                const NameRef name{&rec[vk::kName], std::uint32_t(latin1 ? nameBytes : nameBytes / 2), latin1, true};
                const auto same = std::find_if(read_.begin(), read_.end(), [&](const NameRef& r) {
                    return r.units == name.units && CompareUpper(r, name) == 0;
                });
                if (same != read_.end()) {
                    Duplicate(*same, name, off, false);
                    continue;
                }
                read_.push_back(name);
            }
            Text(value_buf_, &rec[vk::kName], nameBytes, latin1);
            visitor_.Value(value_buf_, Get32(&rec[vk::kType]), Data(off, rec));
        }
    }

    std::span<const std::uint8_t> Data(std::uint32_t vkOff, std::span<const std::uint8_t> rec) {
        const std::uint32_t size = Get32(&rec[vk::kDataSize]);
        if (size & vk::kDataInline) {
            const std::uint32_t n = size & ~vk::kDataInline;
            if (n > vk::kMaxInline)
                Fail(vkOff, "data of " + std::to_string(n) + " bytes said to sit in the value itself");
            return rec.subspan(vk::kData, n);
        }
        if (size == 0) return {};
        const std::uint32_t dataOff = Get32(&rec[vk::kData]);
        auto cell = Claim(dataOff, vkOff, "value's data");
        if (size > kBigDataSegment && minor_ >= base::kBigDataMinor && HasSig(cell, 0, sig::kBigData))
            return BigData(dataOff, cell, size);
        if (size > cell.size())
            Fail(vkOff, "data of " + std::to_string(size) + " bytes in a cell of " + std::to_string(cell.size()));
        return cell.first(size);
    }

    std::span<const std::uint8_t> BigData(std::uint32_t dbOff, std::span<const std::uint8_t> rec, std::uint32_t size) {
        if (rec.size() < db::kSize) Fail(dbOff, "a big-data record (\"db\") too short");
        const std::uint32_t count = Get16(&rec[db::kCount]), listOff = Get32(&rec[db::kSegments]);
        if (count != (std::uint64_t(size) + kBigDataSegment - 1) / kBigDataSegment)
            Fail(dbOff, std::to_string(count) + " big-data segments for " + std::to_string(size) + " bytes");
        auto list = Claim(listOff, dbOff, "big-data segment list");
        if (std::size_t(count) * 4 > list.size()) Fail(listOff, "a big-data segment list shorter than its count");
        big_.clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t segOff = Get32(&list[4 * i]);
            auto seg = Claim(segOff, listOff, "big-data segment");
            const std::size_t take = std::min<std::size_t>(kBigDataSegment, size - big_.size());
            if (seg.size() < take) Fail(segOff, "a big-data segment shorter than its data");
            big_.insert(big_.end(), seg.begin(), seg.begin() + take);
        }
        return big_;
    }

    // A subkey list's elements: offsets of key nodes (li) or offsets and hints (lf, lh).
    struct Leaf {
        std::span<const std::uint8_t> cell;
        SubkeyList list;
    };

    Leaf LeafAt(std::uint32_t off, std::uint32_t from) {
        auto cell = Claim(off, from, "subkey list");
        SubkeyList decoded;
        if (const char* fault = DecodeSubkeyList(cell, decoded)) Fail(off, fault);
        if (decoded.index) Fail(off, "an index (\"ri\") inside an index");
        return {cell, decoded};
    }

    void Subkeys(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, int depth) {
        if (count == 0) return;
        // The lists are checked whole first, so a wrong count is refused before any subkey is read.
        std::vector<Leaf> leaves;
        auto top = Cell(listOff, key, "subkey list");
        SubkeyList decoded;
        if (const char* fault = DecodeSubkeyList(top, decoded)) Fail(listOff, fault);
        if (decoded.index) {
            Claim(listOff, key, "subkey list");
            leaves.reserve(decoded.count);
            for (std::uint32_t i = 0; i < decoded.count; ++i) leaves.push_back(LeafAt(decoded.At(top, i), listOff));
        } else {
            leaves.push_back(LeafAt(listOff, key));
        }
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
            const auto listOffset = std::uint32_t(leaf.cell.data() - bins_.data() - kCellSizeField);
            for (std::uint32_t i = 0; i < leaf.list.count; ++i, ++index) {
                const std::uint32_t child = leaf.list.At(leaf.cell, i);
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
                            for (std::uint32_t j = 0; j < l.list.count; ++j) all.push_back(l.list.At(l.cell, j));
                        dropped = SortedDuplicates(all, true);
                    } else if (name.ok) {
                        last = name;
                    }
                }
                if (!Among(dropped, index)) Key(child, listOffset, depth + 1);
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
