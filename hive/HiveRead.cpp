// Reading a hive: the base block, log replay on a dirty hive, then a walk of the key tree.
#include "Hex.h"
#include "Hive.h"
#include "HiveFormat.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hive {

using namespace format;

namespace {

bool HasSig(std::span<const std::uint8_t> bytes, std::size_t at, const char* sig) {
    const std::size_t n = std::strlen(sig);
    return at + n <= bytes.size() && std::memcmp(bytes.data() + at, sig, n) == 0;
}

// What the reader takes from a base block.
struct BaseFields {
    std::uint32_t root = 0;
    std::uint32_t binsSize = 0;
    std::uint32_t minor = 0;
};

// ---------------------------------------------------------------------------------------------
// The walk of the key tree over a hive image whose base block has been checked.

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

// ---------------------------------------------------------------------------------------------
// Base blocks and log replay.

struct Base {
    bool signatureOk = false, checksumOk = false;
    std::uint32_t seq1 = 0, seq2 = 0, type = 0, format = 0, major = 0;
    std::uint64_t written = 0;
    BaseFields fields;
};

Base ReadBase(std::span<const std::uint8_t> bytes) {
    Base b;
    if (bytes.size() < kLogSector) return b;
    const std::uint8_t* p = bytes.data();
    b.signatureOk = HasSig(bytes, base::kSignature, sig::kHive);
    b.checksumOk = Get32(p + base::kChecksum) == BaseBlockChecksum(p);
    b.seq1 = Get32(p + base::kSeq1);
    b.seq2 = Get32(p + base::kSeq2);
    b.written = Get64(p + base::kWritten);
    b.major = Get32(p + base::kMajor);
    b.fields.minor = Get32(p + base::kMinor);
    b.type = Get32(p + base::kType);
    b.format = Get32(p + base::kFormat);
    b.fields.root = Get32(p + base::kRoot);
    b.fields.binsSize = Get32(p + base::kBinsSize);
    return b;
}

// Fields a reader can trust: a version it knows, bins in whole pages.
std::string BaseFault(const Base& b) {
    if (b.major != base::kMajorVersion || b.fields.minor < base::kMinMinor || b.fields.minor > base::kMaxMinor)
        return "hive format version " + std::to_string(b.major) + "." + std::to_string(b.fields.minor) + " (" +
               std::to_string(base::kMajorVersion) + "." + std::to_string(base::kMinMinor) + " to " +
               std::to_string(base::kMajorVersion) + "." + std::to_string(base::kMaxMinor) + " are read)";
    if (b.format != base::kFileFormat) return "a base block of file format " + std::to_string(b.format);
    if (b.fields.binsSize % kPageSize != 0)
        return "hive bins data size " + Hex(b.fields.binsSize) + ", not whole pages";
    return {};
}

// Why a log was not replayed, or not whole. Damage is told even when another log restored the hive.
struct Note {
    std::string text;
    bool damage;
};

// One live entry of a new-format log.
struct LogEntry {
    std::uint32_t seq, binsSize, flags;
    const std::uint8_t* refs;  // bins offset, size; `pages` of them
    std::uint32_t pages;
    const std::uint8_t* data;  // the pages' bytes
};

struct LogRun {
    const NamedBytes* log;
    std::uint32_t start;            // the sequence number its base block gives
    std::vector<LogEntry> entries;  // from `start`, consecutive
};

// Where the valid entries of a log end, when it is not at the end of those written.
struct EntryStop {
    std::string why;
    // Fields no write could leave, unlike a wrong hash, which is how a write cut short shows.
    bool impossible = false;
};

// The valid entries of a new-format log, in file order, up to the first that is not.
std::vector<LogEntry> EntriesOf(std::span<const std::uint8_t> log, EntryStop& stop) {
    std::vector<LogEntry> entries;
    std::size_t pos = kLogSector;
    while (pos + logfile::kPages <= log.size()) {
        const std::uint8_t* e = log.data() + pos;
        auto halt = [&](const std::string& what, bool impossible) {
            stop = {"entry at offset " + Hex(pos) + ": " + what, impossible};
        };
        if (std::memcmp(e, sig::kLogEntry, 4) != 0) break;  // the end of the entries written
        const std::uint32_t size = Get32(e + logfile::kSize);
        if (size < kLogSector || size % kLogSector != 0 || size > log.size() - pos) {
            halt("size " + Hex(size), true);
            break;
        }
        const std::uint32_t binsSize = Get32(e + logfile::kBinsSize), pages = Get32(e + logfile::kPageCount);
        if (binsSize == 0 || binsSize % kPageSize != 0 || binsSize > kMaxBinsSize) {
            halt("hive bins data size " + Hex(binsSize), true);
            break;
        }
        if (logfile::kPages + std::uint64_t(pages) * logfile::kPageRef > size) {
            halt("more pages than the entry holds", true);
            break;
        }
        if (Marvin32({e + logfile::kPages, size - logfile::kPages}) != Get64(e + logfile::kHash1) ||
            Marvin32({e, logfile::kHash1 + 8}) != Get64(e + logfile::kHash2)) {
            halt("wrong hash", false);
            break;
        }
        std::uint64_t bytes = logfile::kPages + std::uint64_t(pages) * logfile::kPageRef;
        bool pagesOk = true;
        for (std::uint32_t i = 0; i < pages && pagesOk; ++i) {
            const std::uint8_t* ref = e + logfile::kPages + logfile::kPageRef * i;
            const std::uint32_t off = Get32(ref + logfile::kPageOffset), len = Get32(ref + logfile::kPageBytes);
            pagesOk = off % kLogSector == 0 && len % kLogSector == 0 && std::uint64_t(off) + len <= binsSize;
            bytes += len;
        }
        if (!pagesOk || bytes > size) {
            halt("pages outside the hive bins or the entry", true);
            break;
        }
        entries.push_back({Get32(e + logfile::kSeq), binsSize, Get32(e + logfile::kFlags), e + logfile::kPages, pages,
                           e + logfile::kPages + logfile::kPageRef * pages});
        pos += size;
    }
    return entries;
}

// The logs by name, so that the result never depends on the order they were found in.
std::vector<const NamedBytes*> ByName(std::span<const NamedBytes> logs) {
    std::vector<const NamedBytes*> out;
    for (const auto& log : logs) out.push_back(&log);
    std::stable_sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->name < b->name; });
    return out;
}

// A log's base block that can stand for the primary's: whole, of a version read, and for an old
// format log written through, as its replay asks.
bool UsableLogBase(const Base& b) {
    return b.signatureOk && b.checksumOk && BaseFault(b).empty() &&
           (b.type == base::kTypeNewLog || (b.type == base::kTypeOldLog && b.seq1 == b.seq2));
}

// As Windows restores a primary base block it cannot trust: from the newest of the logs' own.
const NamedBytes* NewestLogBase(std::span<const NamedBytes> logs, Base& out) {
    const NamedBytes* newest = nullptr;
    for (const NamedBytes* log : ByName(logs)) {
        const Base lb = ReadBase(log->bytes);
        if (UsableLogBase(lb) && (newest == nullptr || lb.seq1 > out.seq1)) {
            newest = log;
            out = lb;
        }
    }
    if (newest != nullptr) {
        // A hive as that log began: its entries from there on apply, an older log's do not.
        out.type = base::kTypePrimary;
        out.seq2 = out.seq1;
    }
    return newest;
}

class Replay {
public:
    Replay(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
           std::size_t cap)
        : primary_(primary), owned_(owned), logs_(logs), cap_(cap) {}

    // Replays what applies over a base block that can be trusted; returns the base fields of the
    // result, or nothing when no log did.
    std::optional<BaseFields> Run(const Base& base, std::vector<std::string>& applied, std::vector<Note>& notes) {
        std::vector<LogRun> runs;
        for (const NamedBytes* logp : ByName(logs_)) {
            const NamedBytes& log = *logp;
            auto note = [&](const std::string& what, bool damage) {
                notes.push_back({log.name + ": " + what, damage});
            };
            const Base lb = ReadBase(log.bytes);
            if (!lb.signatureOk) {
                note("not a hive log (no \"regf\" base block at offset 0x0)", true);
                continue;
            }
            if (!lb.checksumOk) {
                note("its base block's checksum is wrong (at offset 0x1FC)", true);
                continue;
            }
            if (std::string fault = BaseFault(lb); !fault.empty()) {
                note(fault, true);
                continue;
            }
            if (lb.type == base::kTypeNewLog) {
                if (lb.seq1 < base.seq2) {
                    note("older than the hive", false);
                    continue;
                }
                EntryStop stop;
                auto all = EntriesOf(log.bytes, stop);
                LogRun run{&log, lb.seq1, {}};
                auto it = std::find_if(all.begin(), all.end(), [&](const LogEntry& e) { return e.seq == lb.seq1; });
                for (; it != all.end() && it->seq == lb.seq1 + run.entries.size(); ++it) run.entries.push_back(*it);
                if (run.entries.empty()) {
                    note(stop.why.empty() ? "no entry to replay" : stop.why, stop.impossible);
                    continue;
                }
                if (it == all.end() && stop.impossible)
                    note("the replay stops early, " + stop.why + "; the entries from there on are not applied", true);
                runs.push_back(std::move(run));
            } else if (lb.type == base::kTypeOldLog) {
                if (lb.seq1 != lb.seq2) {
                    note("a log that was not written through", false);
                    continue;
                }
                if (lb.written != base.written) {
                    note("written at another time than the hive", false);
                    continue;
                }
                if (!runs.empty() || old_) continue;
                old_ = &log;
                oldFields_ = lb.fields;
            } else {
                note("file type " + std::to_string(lb.type) + ", not a log", true);
            }
        }
        if (!runs.empty()) return ReplayNew(base, runs, applied, notes);
        if (old_) return ReplayOld(applied, notes);
        return std::nullopt;
    }

private:
    std::vector<std::uint8_t>& Image() {
        if (owned_ == nullptr) {
            copy_.reserve(cap_);
            copy_.assign(primary_.bytes.begin(), primary_.bytes.end());
            owned_ = &copy_;
        }
        return *owned_;
    }

    bool Grow(std::uint32_t binsSize) {
        if (kBaseBlockSize + std::size_t(binsSize) > cap_) return false;
        auto& image = Image();
        if (image.size() < kBaseBlockSize + binsSize) image.resize(kBaseBlockSize + binsSize);
        return true;
    }

    std::optional<BaseFields> ReplayNew(const Base& base, std::vector<LogRun>& runs, std::vector<std::string>& applied,
                                        std::vector<Note>& notes) {
        std::stable_sort(runs.begin(), runs.end(), [](const LogRun& a, const LogRun& b) { return a.start < b.start; });
        BaseFields fields = base.fields;
        std::optional<std::uint32_t> last;
        for (const auto& run : runs) {
            std::size_t i = 0;
            if (last) {
                while (i < run.entries.size() && run.entries[i].seq != *last + 1) ++i;
                if (i == run.entries.size()) {
                    if (run.entries.back().seq > *last)
                        notes.push_back({run.log->name + ": does not continue the log before it", true});
                    continue;
                }
            }
            bool any = false;
            for (; i < run.entries.size(); ++i) {
                const LogEntry& e = run.entries[i];
                if (!Grow(e.binsSize)) {
                    notes.push_back({run.log->name + ": an entry grows the hive past what its files hold", true});
                    break;
                }
                auto& image = Image();
                const std::uint8_t* src = e.data;
                for (std::uint32_t p = 0; p < e.pages; ++p) {
                    const std::uint8_t* ref = e.refs + logfile::kPageRef * p;
                    const std::uint32_t off = Get32(ref + logfile::kPageOffset), len = Get32(ref + logfile::kPageBytes);
                    if (SaneBinStart(off, src, len)) std::memcpy(image.data() + kBaseBlockSize + off, src, len);
                    src += len;
                }
                fields.binsSize = e.binsSize;
                last = e.seq;
                any = true;
            }
            if (any) applied.push_back(run.log->name);
        }
        if (!last) return std::nullopt;
        return fields;
    }

    // A page range that starts with a bin header must be one that belongs where it goes.
    static bool SaneBinStart(std::uint32_t off, const std::uint8_t* src, std::uint32_t len) {
        if (len < bin::kSize + 4 || off % kPageSize != 0 || !HasSig({src, len}, 0, sig::kBin)) return true;
        const std::uint32_t size = Get32(src + bin::kSize);
        return Get32(src + bin::kSelf) == off && size >= kPageSize && size % kPageSize == 0;
    }

    std::optional<BaseFields> ReplayOld(std::vector<std::string>& applied, std::vector<Note>& notes) {
        const auto bytes = old_->bytes;
        const std::size_t mapBytes = oldFields_.binsSize / kLogSector / 8;
        if (!HasSig(bytes, kLogSector, sig::kDirtyMap) || logfile::kDirtyMap + mapBytes > bytes.size()) {
            notes.push_back({old_->name + ": no dirty page map (\"DIRT\")", true});
            return std::nullopt;
        }
        const std::uint8_t* map = bytes.data() + logfile::kDirtyMap;
        std::size_t pages = 0;
        for (std::size_t j = 0; j < mapBytes; ++j) pages += std::popcount(map[j]);
        const std::size_t dataStart = (logfile::kDirtyMap + mapBytes + kLogSector - 1) / kLogSector * kLogSector;
        if (dataStart + pages * kLogSector > bytes.size()) {
            notes.push_back({old_->name + ": fewer dirty pages than its map names", true});
            return std::nullopt;
        }
        if (!Grow(oldFields_.binsSize)) {
            notes.push_back({old_->name + ": grows the hive past what its files hold", true});
            return std::nullopt;
        }
        auto& image = Image();
        const std::uint8_t* src = bytes.data() + dataStart;
        for (std::size_t page = 0; page < mapBytes * 8; ++page) {
            if (!(map[page / 8] >> page % 8 & 1)) continue;
            std::memcpy(image.data() + kBaseBlockSize + kLogSector * page, src, kLogSector);
            src += kLogSector;
        }
        applied.push_back(old_->name);
        return oldFields_;
    }

    const NamedBytes& primary_;
    std::vector<std::uint8_t>* owned_;
    std::span<const NamedBytes> logs_;
    std::size_t cap_;
    std::vector<std::uint8_t> copy_;
    const NamedBytes* old_ = nullptr;
    BaseFields oldFields_;

public:
    std::span<const std::uint8_t> Result() const {
        return owned_ ? std::span<const std::uint8_t>(*owned_) : primary_.bytes;
    }
};

std::string Join(const std::vector<Note>& notes) {
    std::string out;
    for (const auto& n : notes) out += (out.empty() ? "" : "; ") + n.text;
    return out;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

// `notes` holds what was found out about the logs before reading (one that cannot be read, say).
// `logsDone`, when given, is called once the logs are no longer needed, before the walk.
ReadReport Read(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
                const std::vector<std::string>& lookedFor, std::vector<Note> notes, Visitor& visitor,
                const std::function<void()>& logsDone = nullptr) {
    const std::string& name = primary.name;
    const std::string noHive = name + ": not a registry hive (no \"regf\" base block at offset 0x0)";
    if (primary.bytes.size() < kBaseBlockSize) throw HiveError(name + ": " + ShortFileFault(primary.bytes));
    Base base = ReadBase(primary.bytes);
    const bool trusted = base.signatureOk && base.checksumOk;
    if (trusted) {
        if (std::string fault = BaseFault(base); !fault.empty()) throw HiveError(name + ": at offset 0x0: " + fault);
        if (base.type != base::kTypePrimary)
            throw HiveError(name + ": at offset 0x0: file type " + std::to_string(base.type) +
                            (base.type == base::kTypeOldLog || base.type == base::kTypeNewLog
                                 ? ", a transaction log, not a hive"
                                 : ", not a hive"));
    }
    ReadReport report;
    const NamedBytes* restoredFrom = nullptr;
    if (!trusted) {
        restoredFrom = NewestLogBase(logs, base);
        if (restoredFrom == nullptr) {
            const std::string why = "looked for " + Join(lookedFor) + (notes.empty() ? "" : "; " + Join(notes));
            if (!ReadBase(primary.bytes).signatureOk)
                throw HiveError(noHive + (logs.empty() && notes.empty()
                                              ? ""
                                              : ", and no log holds a base block to restore it (" + why + ")"));
            throw HiveError(name + ": at offset 0x1FC: the base block's checksum is wrong and no log can restore it (" +
                            why + ")");
        }
    }
    BaseFields fields = base.fields;
    std::span<const std::uint8_t> image = primary.bytes;
    std::optional<Replay> replay;
    if (!trusted || base.seq1 != base.seq2) {
        std::size_t cap = primary.bytes.size();
        for (const auto& log : logs) cap += log.bytes.size();
        replay.emplace(primary, owned, logs, cap);
        auto replayed = replay->Run(base, report.logsApplied, notes);
        if (replayed) {
            fields = *replayed;
            image = replay->Result();
            for (const auto& n : notes)
                if (n.damage) report.warnings.push_back(n.text);
        } else if (restoredFrom != nullptr) {
            report.warnings.push_back(name + ": the base block is damaged; restored from " + restoredFrom->name +
                                      ", but no log entry applies (" + Join(notes) +
                                      "): read as the primary file holds the rest, which may miss its latest changes");
        } else {
            report.warnings.push_back(name + " is dirty (sequence numbers " + std::to_string(base.seq1) + " and " +
                                      std::to_string(base.seq2) + ") and no log could be replayed (looked for " +
                                      Join(lookedFor) + (notes.empty() ? "" : "; " + Join(notes)) +
                                      "): read as the primary file holds it, which may miss its latest changes");
        }
    }
    if (logsDone) logsDone();
    if (std::uint64_t(kBaseBlockSize) + fields.binsSize > image.size())
        throw HiveError(name + ": at offset " + Hex(base::kBinsSize) + ": hive bins data of " + Hex(fields.binsSize) +
                        " bytes in a file of " + Hex(image.size()));
    if (fields.binsSize == 0) throw HiveError(name + ": at offset " + Hex(base::kBinsSize) + ": no hive bins");
    Walker(name, image, fields, visitor, report.warnings).Run(fields.root);
    return report;
}

// A file open for reading, checked before a byte of it is read.
class File {
public:
    // Refuses, naming the reason, what is no file a hive can be read from.
    explicit File(const std::string& path) : path_(path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) Refuse(std::strerror(errno));
        if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
            if (errno == ELOOP) Refuse("a link loop (links that lead back to themselves)");
            if (errno == ENOENT) {
                char target[4096];
                const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
                Refuse("a dangling link" +
                       (n > 0 ? " (to " + std::string(target, std::size_t(n)) + ", which does not exist)"
                              : std::string()));
            }
            Refuse(std::strerror(errno));
        }
        if (S_ISDIR(st.st_mode)) Refuse("a folder, not a hive file");
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) Refuse("a device (a terminal, a disk), not a regular file");
        if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) Refuse("not a regular file");
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) Refuse(errno == EACCES ? "permission denied (it cannot be read)" : std::strerror(errno));
        if (::fstat(fd_, &st) != 0) Refuse(std::strerror(errno));
        regular_ = S_ISREG(st.st_mode);
        if (regular_ && std::uint64_t(st.st_size) > kMaxFileSize)
            Refuse(std::to_string(st.st_size) + " bytes, larger than any hive (at most " +
                   std::to_string(kMaxFileSize) + ")");
        if (!regular_ && !S_ISFIFO(st.st_mode)) Refuse("not a regular file");
        size_ = regular_ ? std::uint64_t(st.st_size) : 0;
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // A pipe: read once, from start to end.
    bool Stream() const { return !regular_; }

    // The bytes from where reading stands, at most `limit` of them, in a buffer with room for
    // `room` more. No hive is larger than kMaxFileSize: a pipe that goes on is refused.
    std::vector<std::uint8_t> Read(std::size_t room = 0, std::uint64_t limit = kMaxFileSize + 1) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(std::min<std::uint64_t>(size_, limit) + room);
        if (regular_) {
            // A regular file's bytes go straight into their place: no copy, and no buffer beside them
            // in memory (a dirty hive's replay is held to the memory its logs take).
            bytes.resize(std::min<std::uint64_t>(size_, limit));
            for (std::size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::read(fd_, bytes.data() + at, bytes.size() - at);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
                if (n == 0) bytes.resize(at);  // shorter than it was a moment ago
                at += std::size_t(n);
            }
        }
        // What a stream holds, or a file that grew meanwhile (or says it has no size, as /proc's do).
        Append(bytes, limit);
        return bytes;
    }

    // Reads on into `bytes` until it holds `limit` of them or the file ends.
    void Append(std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
        std::uint8_t buf[1 << 16];
        while (bytes.size() < limit) {
            const ssize_t n = ::read(fd_, buf, std::min<std::uint64_t>(sizeof buf, limit - bytes.size()));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
            if (n == 0) break;
            bytes.insert(bytes.end(), buf, buf + n);
        }
        if (bytes.size() > kMaxFileSize)
            Refuse("larger than any hive (at most " + std::to_string(kMaxFileSize) + " bytes)");
    }

    // The first `n` bytes of a regular file, leaving the position where it was.
    std::vector<std::uint8_t> Head(std::size_t n) {
        std::vector<std::uint8_t> bytes(n);
        const ssize_t got = ::pread(fd_, bytes.data(), n, 0);
        if (got < 0) Refuse(std::string("cannot be read: ") + std::strerror(errno));
        bytes.resize(std::size_t(got));
        return bytes;
    }

private:
    [[noreturn]] void Refuse(const std::string& why) const { throw HiveError(path_ + ": " + why); }

    std::string path_;
    int fd_ = -1;
    bool regular_ = false;
    std::uint64_t size_ = 0;
};

// A clean hive's file mapped instead of copied: the walk reads it once, and a copy would cost its
// size again in memory and the time to fault that in. Empty when the file is no regular file of a
// hive's size, or the system has no mmap: the caller reads it then, and says what is wrong.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path) {
#ifndef _WIN32
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) >= kBaseBlockSize &&
            std::uint64_t(st.st_size) <= kMaxFileSize) {
            void* at = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (at != MAP_FAILED) bytes_ = {static_cast<const std::uint8_t*>(at), std::size_t(st.st_size)};
        }
        ::close(fd);
#else
        (void)path;
#endif
    }
    ~MappedFile() {
#ifndef _WIN32
        if (!bytes_.empty()) ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
#endif
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const std::uint8_t> Bytes() const {
        return bytes_;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto low = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return low(x) == low(y);
           });
}

std::vector<std::string> LogNames(const std::string& primary) {
    std::vector<std::string> names;
    for (const char* suffix : kLogSuffixes) names.push_back(primary + suffix);
    return names;
}

}  // namespace

ReadReport ReadHive(const NamedBytes& primary, std::span<const NamedBytes> logs, Visitor& visitor) {
    std::vector<std::string> names;
    for (const auto& log : logs) names.push_back(log.name);
    std::sort(names.begin(), names.end());
    if (names.empty()) names = LogNames(primary.name);
    return Read(primary, nullptr, logs, names, {}, visitor);
}

ReadReport ReadHiveFile(const std::string& path, Visitor& visitor) {
    namespace fs = std::filesystem;
    File file(path);
    if (file.Stream()) {
        // Read once; no logs lie beside a pipe. What follows the bins a sound base block names is
        // not needed, and a pipe that is no hive is not read past its first block.
        std::vector<std::uint8_t> bytes = file.Read(0, kBaseBlockSize);
        const Base first = ReadBase(bytes);
        if (bytes.size() == kBaseBlockSize && first.signatureOk && first.checksumOk && BaseFault(first).empty())
            file.Append(bytes, kBaseBlockSize + std::uint64_t(first.fields.binsSize));
        return Read({path, bytes}, &bytes, {}, {"none: read from a pipe"}, {}, visitor);
    }
    const fs::path p(path);
    const std::string base = p.filename().string();
    std::vector<std::vector<std::uint8_t>> logBytes;
    std::vector<std::string> logNames;
    std::vector<Note> notes;
    // The logs matter only to a dirty hive; reading them otherwise would cost their size for nothing.
    const std::vector<std::uint8_t> head = file.Head(kLogSector);
    const Base first = ReadBase(head);
    const bool dirty =
        head.size() == kLogSector && (!first.signatureOk || !first.checksumOk || first.seq1 != first.seq2);
    std::size_t room = 0;
    if (dirty) {
        std::error_code ec;
        const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
        std::vector<fs::path> entries;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            entries.push_back(it->path());
        std::sort(entries.begin(), entries.end());
        for (const char* suffix : kLogSuffixes) {
            const std::string wanted = base + suffix;
            std::optional<fs::path> found;
            for (const auto& e : entries) {
                const std::string n = e.filename().string();
                if (n == wanted) {
                    found = e;
                    break;
                }
                if (!found && SameIgnoringAsciiCase(n, wanted)) found = e;
            }
            if (!found) continue;
            try {
                File log(found->string());
                logBytes.push_back(log.Read());
                logNames.push_back(found->string());
                room += logBytes.back().size();
            } catch (const HiveError& e) {
                notes.push_back({e.what(), true});
            }
        }
    }
    if (!dirty && !file.Stream()) {
        const MappedFile mapped(p);
        if (!mapped.Bytes().empty())
            return Read({path, mapped.Bytes()}, nullptr, {}, LogNames(path), std::move(notes), visitor);
    }
    // Room for all that replay may add (no more than the logs hold), so the bytes are never moved.
    std::vector<std::uint8_t> bytes = file.Read(room);
    std::vector<NamedBytes> logs;
    for (std::size_t i = 0; i < logBytes.size(); ++i) logs.push_back({logNames[i], logBytes[i]});
    // Replayed, the logs go before the walk: the store's writes during it take memory of their own.
    const auto release = [&] {
        logs.clear();
        std::vector<std::vector<std::uint8_t>>().swap(logBytes);
    };
    return Read({path, bytes}, &bytes, logs, LogNames(path), std::move(notes), visitor, release);
}

}  // namespace hive
