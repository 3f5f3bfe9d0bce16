#pragma once
// Index roots and index blocks of an NTFS folder built by hand, as NTFS lays them out, for the index
// tests and the fuzz target's seeds: each node's entries, its subnode pointers and the update
// sequence of each block.
#include "ntfs_format.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace ntfskit {

namespace f = disk::ntfs;

inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}
inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, std::uint16_t(v));
    Put16(b, at + 2, std::uint16_t(v >> 16));
}
inline void Put64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
    Put32(b, at, std::uint32_t(v));
    Put32(b, at + 4, std::uint32_t(v >> 32));
}

struct Entry {
    Entry() = default;  // the node's last entry, without a subnode
    Entry(std::u16string name, std::uint64_t reference, std::optional<std::uint64_t> subnode = {}, bool folder = false)
        : name(std::move(name)), reference(reference), subnode(subnode), folder(folder) {}
    std::u16string name;  // empty: the node's last entry
    std::uint64_t reference = 0;
    std::optional<std::uint64_t> subnode;
    bool folder = false;
    std::uint8_t nameSpace = f::filename::kWin32;
};

// The node header and its entries, as they follow the header in a root or a block.
inline std::vector<std::uint8_t> Node(const std::vector<Entry>& entries) {
    bool children = false;
    std::vector<std::uint8_t> body;
    for (const Entry& e : entries) {
        const bool last = e.name.empty();
        const std::size_t key = last ? 0 : f::filename::kName + 2 * e.name.size();
        std::size_t length = (f::entry::kKey + key + 7) / 8 * 8 + (e.subnode ? 8 : 0);
        std::vector<std::uint8_t> b(length);
        Put64(b, f::entry::kReference, e.reference);
        Put16(b, f::entry::kLength, std::uint16_t(length));
        Put16(b, f::entry::kKeyLength, std::uint16_t(key));
        Put16(b, f::entry::kFlags, std::uint16_t((e.subnode ? f::entry::kSubnode : 0) | (last ? f::entry::kLast : 0)));
        if (!last) {
            const std::size_t k = f::entry::kKey;
            Put32(b, k + f::filename::kAttributes, e.folder ? f::filename::kDirectory : 0);
            b[k + f::filename::kNameLength] = std::uint8_t(e.name.size());
            b[k + f::filename::kNameSpace] = e.nameSpace;
            for (std::size_t i = 0; i < e.name.size(); ++i) Put16(b, k + f::filename::kName + 2 * i, e.name[i]);
        }
        if (e.subnode) {
            Put64(b, length - 8, *e.subnode);
            children = true;
        }
        body.insert(body.end(), b.begin(), b.end());
    }
    std::vector<std::uint8_t> node(f::node::kSize);
    Put32(node, f::node::kEntriesOffset, f::node::kSize);
    Put32(node, f::node::kIndexLength, std::uint32_t(f::node::kSize + body.size()));
    Put32(node, f::node::kAllocated, std::uint32_t(f::node::kSize + body.size()));
    node[f::node::kFlags] = children ? f::node::kHasChildren : 0;
    node.insert(node.end(), body.begin(), body.end());
    return node;
}

// The value of an $INDEX_ROOT over `node`, with blocks of `blockSize` bytes.
inline std::vector<std::uint8_t> Root(const std::vector<std::uint8_t>& node, std::uint32_t blockSize = 4096) {
    std::vector<std::uint8_t> root(f::root::kNode);
    Put32(root, f::root::kIndexedType, f::root::kFileNames);
    Put32(root, f::root::kCollation, f::root::kCollateFileName);
    Put32(root, f::root::kBlockSize, blockSize);
    root.insert(root.end(), node.begin(), node.end());
    return root;
}

// An index block as it lies on disk at `vcn`: its update sequence written over each stride's end.
inline std::vector<std::uint8_t> Block(std::uint64_t vcn, const std::vector<std::uint8_t>& node,
                                       std::uint32_t blockSize = 4096, std::uint16_t sequence = 7) {
    constexpr std::size_t kUsa = 0x28;
    const std::size_t count = blockSize / f::kFixupStride + 1;
    std::vector<std::uint8_t> b(blockSize);
    std::memcpy(&b[f::multi::kSignature], f::block::kSignature, 4);
    Put16(b, f::multi::kUsaOffset, kUsa);
    Put16(b, f::multi::kUsaCount, std::uint16_t(count));
    Put64(b, f::block::kVcn, vcn);
    // The entries start after the update sequence.
    std::vector<std::uint8_t> moved = node;
    const std::uint32_t shift = std::uint32_t((kUsa + 2 * count + 7) / 8 * 8 - f::block::kHeader - f::node::kSize);
    Put32(moved, f::node::kEntriesOffset, f::node::kSize + shift);
    Put32(moved, f::node::kIndexLength, std::uint32_t(node.size()) + shift);
    Put32(moved, f::node::kAllocated, blockSize - std::uint32_t(f::block::kHeader));
    std::memcpy(&b[f::block::kHeader], moved.data(), f::node::kSize);
    std::memcpy(&b[f::block::kHeader + f::node::kSize + shift], moved.data() + f::node::kSize,
                node.size() - f::node::kSize);
    Put16(b, kUsa, sequence);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t last = i * f::kFixupStride - 2;
        b[kUsa + 2 * i] = b[last];
        b[kUsa + 2 * i + 1] = b[last + 1];
        Put16(b, last, sequence);
    }
    return b;
}

}  // namespace ntfskit

namespace ntfskit {

// A file record built attribute by attribute, as NTFS lays one out: its header, its attributes,
// the end marker, then its update sequence written over each stride's end.
struct RecordKit {
    std::vector<std::uint8_t> attributes;
    std::uint16_t flags = f::record::kInUse | f::record::kFolder;
    std::uint16_t sequence = 3;
    std::uint64_t base = 0;

    RecordKit& Resident(std::uint32_t type, const std::u16string& name, const std::vector<std::uint8_t>& value) {
        const std::size_t nameAt = f::attribute::kResidentHeader, valueAt = (nameAt + 2 * name.size() + 7) / 8 * 8;
        std::vector<std::uint8_t> a((valueAt + value.size() + 7) / 8 * 8);
        Header(a, type, name, nameAt, false);
        Put32(a, f::attribute::kValueLength, std::uint32_t(value.size()));
        Put16(a, f::attribute::kValueOffset, std::uint16_t(valueAt));
        std::memcpy(a.data() + valueAt, value.data(), value.size());
        attributes.insert(attributes.end(), a.begin(), a.end());
        return *this;
    }
    // `runs` as a run list's bytes; `size` the attribute's data and initialized size.
    RecordKit& NonResident(std::uint32_t type, const std::u16string& name, const std::vector<std::uint8_t>& runs,
                           std::uint64_t startVcn, std::uint64_t size, std::uint16_t attributeFlags = 0) {
        const std::size_t nameAt = f::attribute::kNonResidentHeader, runsAt = (nameAt + 2 * name.size() + 7) / 8 * 8;
        std::vector<std::uint8_t> a((runsAt + runs.size() + 7) / 8 * 8);
        Header(a, type, name, nameAt, true);
        Put16(a, f::attribute::kFlags, attributeFlags);
        Put64(a, f::attribute::kStartVcn, startVcn);
        Put16(a, f::attribute::kRunsOffset, std::uint16_t(runsAt));
        Put64(a, f::attribute::kDataSize, size);
        Put64(a, f::attribute::kInitializedSize, size);
        std::memcpy(a.data() + runsAt, runs.data(), runs.size());
        attributes.insert(attributes.end(), a.begin(), a.end());
        return *this;
    }
    // The record as it lies on disk, `size` bytes.
    std::vector<std::uint8_t> Bytes(std::size_t size = 1024, std::uint16_t usn = 9) const {
        constexpr std::size_t kUsa = 0x30, kFirst = 0x38;
        const std::size_t count = size / f::kFixupStride + 1;
        std::vector<std::uint8_t> b(size);
        std::memcpy(b.data(), f::record::kSignature, 4);
        Put16(b, f::multi::kUsaOffset, kUsa);
        Put16(b, f::multi::kUsaCount, std::uint16_t(count));
        Put16(b, f::record::kSequence, sequence);
        Put16(b, f::record::kFirstAttribute, kFirst);
        Put16(b, f::record::kFlags, flags);
        Put64(b, f::record::kBaseRecord, base);
        std::memcpy(b.data() + kFirst, attributes.data(), attributes.size());
        Put32(b, kFirst + attributes.size(), f::attribute::kEnd);
        Put32(b, f::record::kUsedSize, std::uint32_t(kFirst + attributes.size() + 8));
        Put16(b, kUsa, usn);
        for (std::size_t i = 1; i < count; ++i) {
            const std::size_t last = i * f::kFixupStride - 2;
            b[kUsa + 2 * i] = b[last];
            b[kUsa + 2 * i + 1] = b[last + 1];
            Put16(b, last, usn);
        }
        return b;
    }

private:
    static void Header(std::vector<std::uint8_t>& a, std::uint32_t type, const std::u16string& name, std::size_t nameAt,
                       bool nonResident) {
        Put32(a, f::attribute::kType, type);
        Put32(a, f::attribute::kLength, std::uint32_t(a.size()));
        a[f::attribute::kNonResident] = nonResident ? 1 : 0;
        a[f::attribute::kNameLength] = std::uint8_t(name.size());
        Put16(a, f::attribute::kNameOffset, std::uint16_t(nameAt));
        for (std::size_t i = 0; i < name.size(); ++i) Put16(a, nameAt + 2 * i, name[i]);
    }
};

// An attribute list's value: one entry naming `record` for each (type, name, start VCN).
struct Listed {
    std::uint32_t type;
    std::u16string name;
    std::uint64_t startVcn;
    std::uint64_t record;
};
inline std::vector<std::uint8_t> AttributeList(const std::vector<Listed>& entries) {
    std::vector<std::uint8_t> list;
    for (const Listed& e : entries) {
        std::vector<std::uint8_t> b((f::listed::kMinSize + 2 * e.name.size() + 7) / 8 * 8);
        Put32(b, f::listed::kType, e.type);
        Put16(b, f::listed::kLength, std::uint16_t(b.size()));
        b[f::listed::kNameLength] = std::uint8_t(e.name.size());
        b[f::listed::kNameOffset] = std::uint8_t(f::listed::kMinSize);
        Put64(b, f::listed::kStartVcn, e.startVcn);
        Put64(b, f::listed::kRecord, e.record);
        for (std::size_t i = 0; i < e.name.size(); ++i) Put16(b, f::listed::kMinSize + 2 * i, e.name[i]);
        list.insert(list.end(), b.begin(), b.end());
    }
    return list;
}

}  // namespace ntfskit
