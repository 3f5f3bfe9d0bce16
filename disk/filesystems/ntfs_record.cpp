#include "ntfs_record.h"

#include "byte_order.h"
#include "disk.h"
#include "ntfs_format.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace disk::ntfs {
namespace {

std::uint64_t Get(std::span<const std::uint8_t> b, std::size_t at, std::size_t bytes) {
    return ReadLe(b.data() + at, bytes);
}

// An attribute a walk needs: a folder's index of names, a junction or link.
bool Wanted(std::uint32_t type, std::u16string_view name) {
    return type == attribute::kReparsePoint ||
           ((type == attribute::kIndexRoot || type == attribute::kIndexAllocation) && name == attribute::kFolderIndex);
}

}  // namespace

std::string UndoFixups(std::span<std::uint8_t> b, const char* signature) {
    if (b.size() < multi::kUsaCount + 2 || std::memcmp(b.data() + multi::kSignature, signature, 4) != 0)
        return std::string("no \"") + signature + "\" signature";
    const std::size_t usa = Get(b, multi::kUsaOffset, 2), count = Get(b, multi::kUsaCount, 2);
    if (b.size() % kFixupStride != 0 || count != b.size() / kFixupStride + 1 || usa < multi::kUsaCount + 2 ||
        usa + 2 * count > kFixupStride - 2)
        return "an update sequence of " + std::to_string(count) + " at " + std::to_string(usa);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t last = i * kFixupStride - 2;
        if (b[last] != b[usa] || b[last + 1] != b[usa + 1]) return "a torn write (its update sequence does not match)";
        b[last] = b[usa + 2 * i];
        b[last + 1] = b[usa + 2 * i + 1];
    }
    return "";
}

std::vector<Run> DecodeRuns(std::span<const std::uint8_t> b, std::uint64_t first, std::uint64_t clusters) {
    std::vector<Run> runs;
    std::uint64_t vcn = first;
    std::int64_t lcn = 0;
    for (std::size_t at = 0;;) {
        if (at >= b.size()) throw Error{"a run list without its end"};
        const std::uint8_t head = b[at++];
        if (head == 0) return runs;
        const std::size_t lengthBytes = head & 0x0F, offsetBytes = head >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || at + lengthBytes + offsetBytes > b.size())
            throw Error{"a run list past its attribute"};
        const std::uint64_t length = Get(b, at, lengthBytes);
        at += lengthBytes;
        Run run{vcn, length, std::nullopt};
        if (offsetBytes > 0) {
            std::uint64_t delta = Get(b, at, offsetBytes);
            if (offsetBytes < 8 && (delta >> (8 * offsetBytes - 1)) != 0) delta |= ~std::uint64_t(0) << 8 * offsetBytes;
            lcn += std::int64_t(delta);
            if (lcn < 0 || std::uint64_t(lcn) >= clusters || length > clusters - std::uint64_t(lcn))
                throw Error{"a run of " + std::to_string(length) + " clusters at cluster " + std::to_string(lcn) +
                            ", past the end of the volume"};
            run.lcn = std::uint64_t(lcn);
        }
        at += offsetBytes;
        if (length == 0 || length > clusters || vcn > clusters)
            throw Error{"a run of " + std::to_string(length) + " clusters"};
        vcn += length;
        runs.push_back(run);
    }
}

std::vector<std::uint64_t> ListedRecords(std::span<const std::uint8_t> list) {
    std::vector<std::uint64_t> records;
    for (std::size_t e = 0; e < list.size();) {
        if (list.size() - e < listed::kMinSize) throw Error{"an attribute list's entry past its end"};
        const std::size_t length = Get(list, e + listed::kLength, 2);
        const std::size_t units = list[e + listed::kNameLength], named = list[e + listed::kNameOffset];
        if (length < listed::kMinSize || length > list.size() - e || named + 2 * units > length)
            throw Error{"an attribute list's entry of " + std::to_string(length) + " bytes"};
        std::u16string name(units, u'\0');
        for (std::size_t i = 0; i < units; ++i) name[i] = char16_t(Get(list, e + named + 2 * i, 2));
        if (Wanted(std::uint32_t(Get(list, e + listed::kType, 4)), name))
            records.push_back(Get(list, e + listed::kRecord, 8));
        e += length;
    }
    return records;
}

Record ParseRecord(std::span<const std::uint8_t> b, std::uint64_t clusters) {
    if (b.size() < record::kHeaderSize) throw Error{"a record shorter than its header"};
    Record r;
    r.sequence = std::uint16_t(Get(b, record::kSequence, 2));
    const std::uint16_t flags = std::uint16_t(Get(b, record::kFlags, 2));
    r.inUse = (flags & record::kInUse) != 0;
    r.folder = (flags & record::kFolder) != 0;
    r.base = Get(b, record::kBaseRecord, 8);
    const std::size_t used = Get(b, record::kUsedSize, 4);
    if (used > b.size() || used < record::kHeaderSize) throw Error{"a record using " + std::to_string(used) + " bytes"};
    const auto bytes = b.first(used);
    for (std::size_t at = Get(b, record::kFirstAttribute, 2);;) {
        if (at + 8 > used) throw Error{"attributes past the end of the record"};
        const std::uint32_t type = std::uint32_t(Get(bytes, at + attribute::kType, 4));
        if (type == attribute::kEnd) return r;
        const std::size_t length = Get(bytes, at + attribute::kLength, 4);
        if (length < attribute::kResidentHeader || length > used - at)
            throw Error{"an attribute of " + std::to_string(length) + " bytes at " + std::to_string(at)};
        const auto a = bytes.subspan(at, length);
        at += length;
        const bool resident = a[attribute::kNonResident] == 0;
        const std::size_t nameUnits = a[attribute::kNameLength], nameAt = Get(a, attribute::kNameOffset, 2);
        if (nameAt > length || 2 * nameUnits > length - nameAt) throw Error{"an attribute's name past its end"};
        std::u16string name(nameUnits, u'\0');
        for (std::size_t i = 0; i < nameUnits; ++i) name[i] = char16_t(Get(a, nameAt + 2 * i, 2));
        if (type != attribute::kAttributeList && !Wanted(type, name)) continue;
        if (resident) {
            const std::size_t valueLength = Get(a, attribute::kValueLength, 4),
                              valueAt = Get(a, attribute::kValueOffset, 2);
            if (valueAt > length || valueLength > length - valueAt) throw Error{"an attribute's value past its end"};
            const auto value = a.subspan(valueAt, valueLength);
            if (type == attribute::kIndexRoot) r.indexRoot.emplace(value.begin(), value.end());
            else if (type == attribute::kReparsePoint) r.reparse.emplace(value.begin(), value.end());
            else if (type == attribute::kIndexAllocation) throw Error{"a resident index allocation"};
            if (type == attribute::kAttributeList) r.listed = ListedRecords(value);
            continue;
        }
        if (length < attribute::kNonResidentHeader)
            throw Error{"a non-resident attribute of " + std::to_string(length) + " bytes"};
        const std::uint16_t attributeFlags = std::uint16_t(Get(a, attribute::kFlags, 2));
        // A link's target out of the record, anything held compressed: The Sleuth Kit reads those.
        if (type == attribute::kReparsePoint ||
            (attributeFlags & (attribute::kCompressed | attribute::kEncrypted | attribute::kSparse)) != 0) {
            r.complete = false;
            continue;
        }
        if (type == attribute::kIndexRoot) throw Error{"a non-resident index root"};
        const std::size_t runsAt = Get(a, attribute::kRunsOffset, 2);
        if (runsAt > length) throw Error{"a run list past its attribute"};
        if (type == attribute::kAttributeList) {
            if (Get(a, attribute::kStartVcn, 8) != 0) throw Error{"an attribute list in pieces"};
            r.list.runs = DecodeRuns(a.subspan(runsAt), 0, clusters);
            r.list.size = Get(a, attribute::kDataSize, 8);
            r.list.initialized = Get(a, attribute::kInitializedSize, 8);
            continue;
        }
        IndexExtent extent;
        extent.startVcn = Get(a, attribute::kStartVcn, 8);
        extent.runs = DecodeRuns(a.subspan(runsAt), extent.startVcn, clusters);
        if (extent.startVcn == 0) {
            extent.size = Get(a, attribute::kDataSize, 8);
            extent.initialized = Get(a, attribute::kInitializedSize, 8);
        }
        r.index.push_back(std::move(extent));
    }
}

IndexExtent JoinExtents(std::vector<IndexExtent> extents) {
    std::sort(extents.begin(), extents.end(),
              [](const IndexExtent& a, const IndexExtent& b) { return a.startVcn < b.startVcn; });
    IndexExtent whole;
    std::uint64_t next = 0;
    for (IndexExtent& e : extents) {
        if (e.startVcn != next) throw Error{"an index whose pieces leave a gap at VCN " + std::to_string(next)};
        if (e.startVcn == 0) {
            whole.size = e.size;
            whole.initialized = e.initialized;
        }
        for (const Run& run : e.runs) next = run.vcn + run.length;
        whole.runs.insert(whole.runs.end(), e.runs.begin(), e.runs.end());
    }
    return whole;
}

}  // namespace disk::ntfs
