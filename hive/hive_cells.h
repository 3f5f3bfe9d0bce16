#pragma once
// The cells both readers decode, the walk of a whole hive (hive_walk.cpp) and the reading of a few
// keys on demand (hive_keys.cpp): key nodes (nk), values (vk) with their data, big data (db) and
// subkey lists (lf, lh, li, ri). What a record holds is checked here, once, in the words of both;
// where a cell lies is checked by the reader that brings it, against what it knows of the file
// (the walk: every bin; on demand: the size of the bins).
//
// A reader is a Source, a template parameter (the walk is on the hot path of imports):
//   using Cell = ...;  // a cell's data: a span into the hive, or bytes of its own (a vector)
//   Cell Get(std::uint32_t off, std::uint32_t from, const char* what);
//       the cell at `off`, which the record at `from` points to as its `what`, or it fails
//   void Claim(std::uint32_t off, const char* what);
//       the walk refuses a cell reached a second time; on demand nothing is claimed
//   [[noreturn]] void Fail(std::uint32_t off, const std::string& what) const;
#include "byte_order.h"
#include "hive.h"
#include "hive_format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace hive::cells {

// What a record points to, as messages name it.
inline constexpr char kKeyNode[] = "key node";
inline constexpr char kClassName[] = "class name";
inline constexpr char kValueList[] = "value list";
inline constexpr char kValue[] = "value";
inline constexpr char kValueData[] = "value's data";
inline constexpr char kSegmentList[] = "big-data segment list";
inline constexpr char kSegment[] = "big-data segment";
inline constexpr char kSubkeyList[] = "subkey list";

// Refuses the hive `file` at `binsOffset` of its bins (kNowhere: the base block's pointer to the
// root key), saying `what`.
[[noreturn]] void Fail(const std::string& file, std::uint32_t binsOffset, const std::string& what);

// Where a cell lies, which each reader checks against its own bounds.
std::string OutsideBins(const char* what, std::uint32_t off);
std::string FreeCell(const char* what);
std::string PastEnd(const char* what, std::uint64_t size, const char* bounds);  // "the hive bins", ...

// What a record holds.
enum class NameFault { None, NotRecord, Longer, Odd };
std::string NameFaultText(bool isKey, NameFault fault);
std::string LongerThanCell(const char* what);
std::string OddBytes(const char* what);
std::string ValuesOverflow(std::uint32_t count);
std::string InlineTooLong(std::uint32_t bytes);
std::string DataPastCell(std::uint32_t size, std::size_t cellSize);
std::string SegmentCount(std::uint32_t count, std::uint32_t size);
inline constexpr char kBigDataShort[] = "a big-data record (\"db\") too short";
inline constexpr char kSegmentListShort[] = "a big-data segment list shorter than its count";
inline constexpr char kSegmentShort[] = "a big-data segment shorter than its data";
inline constexpr char kIndexInIndex[] = "an index (\"ri\") inside an index";

// A name where the hive keeps it, Latin-1 or UTF-16LE, read without copying.
struct Name {
    const std::uint8_t* p = nullptr;
    std::uint32_t units = 0;
    bool latin1 = false;
    char16_t operator[](std::uint32_t i) const { return latin1 ? char16_t(p[i]) : char16_t(ReadLe16(p + 2 * i)); }
    // Into `out`, whose storage serves from one name to the next.
    void CopyTo(std::u16string& out) const {
        out.resize(units);
        if (latin1)
            for (std::uint32_t i = 0; i < units; ++i) out[i] = p[i];
        else
            for (std::uint32_t i = 0; i < units; ++i) out[i] = char16_t(ReadLe16(p + 2 * i));
    }
    std::u16string Text() const {
        std::u16string out;
        CopyTo(out);
        return out;
    }
};

inline bool HasSig(std::span<const std::uint8_t> cell, const char (&signature)[3]) {
    return cell.size() >= 2 && std::memcmp(cell.data(), signature, 2) == 0;
}

// The name of the key node (`isKey`) or value `rec`. A name of an odd number of UTF-16 bytes is
// given too (its whole units), with the fault.
inline NameFault NameIn(std::span<const std::uint8_t> rec, bool isKey, Name& out) {
    using namespace format;
    const std::size_t head = isKey ? nk::kName : vk::kName;
    if (rec.size() < head || !HasSig(rec, isKey ? sig::kKey : sig::kValue)) return NameFault::NotRecord;
    const std::size_t bytes = ReadLe16(&rec[isKey ? nk::kNameBytes : vk::kNameBytes]);
    if (head + bytes > rec.size()) return NameFault::Longer;
    out.latin1 = isKey ? ReadLe16(&rec[nk::kFlags]) & nk::kFlagLatin1 : ReadLe16(&rec[vk::kFlags]) & vk::kFlagLatin1;
    out.p = rec.data() + head;
    out.units = std::uint32_t(out.latin1 ? bytes : bytes / 2);
    return !out.latin1 && bytes % 2 ? NameFault::Odd : NameFault::None;
}

struct KeyNode {
    std::span<const std::uint8_t> rec;
    Name name;
    std::uint64_t Written() const { return ReadLe64(&rec[format::nk::kWritten]); }
    std::uint32_t SubkeyCount() const { return ReadLe32(&rec[format::nk::kSubkeyCount]); }
    std::uint32_t Subkeys() const { return ReadLe32(&rec[format::nk::kSubkeys]); }
    std::uint32_t ValueCount() const { return ReadLe32(&rec[format::nk::kValueCount]); }
    std::uint32_t Values() const { return ReadLe32(&rec[format::nk::kValues]); }
};

struct ValueRecord {
    std::span<const std::uint8_t> rec;
    Name name;
    std::uint32_t Type() const { return ReadLe32(&rec[format::vk::kType]); }
};

template <class Source>
typename Source::Cell Fetch(Source& s, std::uint32_t off, std::uint32_t from, const char* what) {
    auto cell = s.Get(off, from, what);
    s.Claim(off, what);
    return cell;
}

// Out of the way of the reads that find no fault, which are on the hot path.
template <class Source>
[[noreturn, gnu::cold, gnu::noinline]] void FailName(const Source& s, std::uint32_t off, bool isKey, NameFault fault) {
    s.Fail(off, NameFaultText(isKey, fault));
}

// The name of the key node (`isKey`) or value whose cell at `off` holds `rec`, or the fault.
template <class Source>
[[gnu::always_inline]] inline Name RecordName(const Source& s, std::uint32_t off, std::span<const std::uint8_t> rec,
                                              bool isKey) {
    Name name;
    if (const NameFault fault = NameIn(rec, isKey, name); fault != NameFault::None) [[unlikely]]
        FailName(s, off, isKey, fault);
    return name;
}

template <class Source>
KeyNode Key(const Source& s, std::uint32_t off, std::span<const std::uint8_t> rec) {
    return {rec, RecordName(s, off, rec, true)};
}

// The key's class name into `out`: empty when it has none.
template <class Source>
void ClassName(Source& s, std::uint32_t off, const KeyNode& key, std::u16string& out) {
    out.clear();
    const std::size_t bytes = ReadLe16(&key.rec[format::nk::kClassBytes]);
    if (bytes == 0) return;
    const auto held = Fetch(s, ReadLe32(&key.rec[format::nk::kClass]), off, kClassName);
    const std::span<const std::uint8_t> cls(held);
    if (bytes > cls.size()) s.Fail(off, LongerThanCell(kClassName));
    if (bytes % 2) s.Fail(off, OddBytes(kClassName));
    Name{cls.data(), std::uint32_t(bytes / 2), false}.CopyTo(out);
}

// The value list of the key at `key`: `count` offsets at `listOff`.
template <class Source>
typename Source::Cell ValueList(Source& s, std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
    auto held = Fetch(s, listOff, key, kValueList);
    if (std::uint64_t(count) * 4 > std::span<const std::uint8_t>(held).size()) s.Fail(listOff, ValuesOverflow(count));
    return held;
}

template <class Source>
ValueRecord Value(const Source& s, std::uint32_t off, std::span<const std::uint8_t> rec) {
    return {rec, RecordName(s, off, rec, false)};
}

// The data of a value too large for one cell, from the db record `rec` at `dbOff`, gathered into `out`.
template <class Source>
std::span<const std::uint8_t> BigData(Source& s, std::uint32_t dbOff, std::span<const std::uint8_t> rec,
                                      std::uint32_t size, std::vector<std::uint8_t>& out) {
    using namespace format;
    if (rec.size() < db::kSize) s.Fail(dbOff, kBigDataShort);
    const std::uint32_t count = ReadLe16(&rec[db::kCount]), listOff = ReadLe32(&rec[db::kSegments]);
    if (count != (std::uint64_t(size) + kBigDataSegment - 1) / kBigDataSegment)
        s.Fail(dbOff, SegmentCount(count, size));
    const auto heldList = Fetch(s, listOff, dbOff, kSegmentList);
    const std::span<const std::uint8_t> list(heldList);
    if (std::size_t(count) * 4 > list.size()) s.Fail(listOff, kSegmentListShort);
    out.clear();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t segOff = ReadLe32(&list[4 * i]);
        const auto heldSeg = Fetch(s, segOff, listOff, kSegment);
        const std::span<const std::uint8_t> seg(heldSeg);
        const std::size_t take = std::min<std::size_t>(kBigDataSegment, size - out.size());
        if (seg.size() < take) s.Fail(segOff, kSegmentShort);
        out.insert(out.end(), seg.begin(), seg.begin() + std::ptrdiff_t(take));
    }
    return out;
}

// The data of the value at `vkOff`: in the value itself, in one cell (then kept in `held`), or in
// big-data segments of a hive of `minor` version 4 on (then gathered into `big`).
template <class Source>
std::span<const std::uint8_t> Data(Source& s, std::uint32_t vkOff, const ValueRecord& value, std::uint32_t minor,
                                   typename Source::Cell& held, std::vector<std::uint8_t>& big) {
    using namespace format;
    const std::uint32_t size = ReadLe32(&value.rec[vk::kDataSize]);
    if (size & vk::kDataInline) {
        const std::uint32_t n = size & ~vk::kDataInline;
        if (n > vk::kMaxInline) s.Fail(vkOff, InlineTooLong(n));
        return value.rec.subspan(vk::kData, n);
    }
    if (size == 0) return {};
    const std::uint32_t dataOff = ReadLe32(&value.rec[vk::kData]);
    held = Fetch(s, dataOff, vkOff, kValueData);
    const std::span<const std::uint8_t> cell(held);
    if (size > kBigDataSegment && minor >= base::kBigDataMinor && HasSig(cell, sig::kBigData))
        return BigData(s, dataOff, cell, size, big);
    if (size > cell.size()) s.Fail(vkOff, DataPastCell(size, cell.size()));
    return cell.first(size);
}

// A subkey list that holds key nodes (li, lf, lh), at `off`.
template <class Cell>
struct Leaf {
    Cell cell;
    std::uint32_t off = 0;
    format::SubkeyList list;
    std::uint32_t At(std::uint32_t i) const { return list.At(cell, i); }
    std::uint32_t HashAt(std::uint32_t i) const { return list.HashAt(cell, i); }
};

// Each leaf of the subkey list at `listOff` that the key at `key` points to, in order, to `each`
// (which returns false to stop there): the list itself, or each list under an index (ri).
template <class Source, class Each>
void EachLeaf(Source& s, std::uint32_t key, std::uint32_t listOff, const Each& each) {
    Leaf<typename Source::Cell> top{s.Get(listOff, key, kSubkeyList), listOff, {}};
    if (const char* fault = format::DecodeSubkeyList(top.cell, top.list)) s.Fail(listOff, fault);
    s.Claim(listOff, kSubkeyList);
    if (!top.list.index) {
        each(std::move(top));
        return;
    }
    for (std::uint32_t i = 0; i < top.list.count; ++i) {
        const std::uint32_t off = top.At(i);
        Leaf<typename Source::Cell> leaf{Fetch(s, off, listOff, kSubkeyList), off, {}};
        if (const char* fault = format::DecodeSubkeyList(leaf.cell, leaf.list)) s.Fail(off, fault);
        if (leaf.list.index) s.Fail(off, kIndexInIndex);
        if (!each(std::move(leaf))) return;
    }
}

}  // namespace hive::cells
