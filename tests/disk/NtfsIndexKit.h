#pragma once
// Index roots and index blocks of an NTFS folder built by hand, as NTFS lays them out, for the index
// tests and the fuzz target's seeds: each node's entries, its subnode pointers and the update
// sequence of each block.
#include "NtfsFormat.h"

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
