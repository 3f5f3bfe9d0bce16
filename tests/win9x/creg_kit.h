#pragma once
// Windows 95, 98 and Me registry files (CREG) for tests, written byte by byte from the format's
// description: a key tree of code-page bytes, and the two trees a REGEDIT4 file describes.
#include "byte_order.h"
#include "creg_format.h"
#include "hive_format.h"
#include "reg_file.h"
#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace cregkit {

namespace f = win9x::format;
using Bytes = std::vector<std::uint8_t>;

// Names and string data are the code page's bytes, as the file holds them.
struct Val {
    std::string name;
    std::uint32_t type;
    std::string data;
};

struct Key {
    std::string name;
    std::vector<Val> values = {};
    std::vector<Key> children = {};

    // The subkey of that name (ASCII letters without regard to case), made when missing.
    Key& Child(const std::string& wanted) {
        auto upper = [](std::string s) {
            for (char& c : s) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
            return s;
        };
        for (auto& c : children)
            if (upper(c.name) == upper(wanted)) return c;
        children.push_back({wanted});
        return children.back();
    }
};

// The file holding `root` (its name and values unused: the root key has no name entry). Name entries
// fill data blocks of `blockBytes` each, one block more when an entry is larger.
inline Bytes Write(const Key& root, std::size_t blockBytes = 0x1000) {
    struct Entry {
        const Key* key;
        std::uint32_t parent, firstChild = f::kNowhere, nextSibling = f::kNowhere;
        std::uint16_t number = f::kNoEntry, block = f::kNoEntry;
    };
    std::vector<Entry> entries;
    auto offsetOf = [](std::size_t index) { return std::uint32_t(f::kKeysHeaderSize + index * f::kKeyEntrySize); };
    auto number = [&](auto& self, const Key& key, std::uint32_t parent) -> void {
        const std::size_t me = entries.size();
        entries.push_back({&key, parent});
        std::size_t previous = 0;
        for (const auto& child : key.children) {
            const std::size_t index = entries.size();
            if (previous == 0) entries[me].firstChild = offsetOf(index);
            else entries[previous].nextSibling = offsetOf(index);
            previous = index;
            self(self, child, offsetOf(me));
        }
    };
    number(number, root, f::kNowhere);

    // Data blocks: name entries back to back, the rest of each block one unused entry.
    std::vector<Bytes> blocks;
    Bytes current;
    std::uint16_t inBlock = 0;
    auto close = [&] {
        const std::size_t size =
            std::max(blockBytes, (f::kDataHeaderSize + current.size() + f::kNameEntryHeaderSize + 15) / 16 * 16);
        Bytes block(f::kDataHeaderSize);
        std::memcpy(block.data(), f::kDataSignature, 4);
        const std::size_t unused = size - f::kDataHeaderSize - current.size();
        WriteLe32(&block[f::kDataSize], std::uint32_t(size));
        WriteLe32(&block[f::kDataUnused], std::uint32_t(unused));
        WriteLe16(&block[f::kDataUnknown], 8);
        WriteLe16(&block[f::kDataNumber], std::uint16_t(blocks.size()));
        WriteLe32(&block[f::kDataUsed], std::uint32_t(current.size()));
        block.insert(block.end(), current.begin(), current.end());
        Bytes free(unused);
        WriteLe32(&free[f::kNameEntrySize], std::uint32_t(unused));
        WriteLe16(&free[f::kNameEntryNumber], f::kNoEntry);
        block.insert(block.end(), free.begin(), free.end());
        blocks.push_back(std::move(block));
        current.clear();
        inBlock = 0;
    };
    for (std::size_t i = 1; i < entries.size(); ++i) {
        const Key& key = *entries[i].key;
        Bytes e(f::kNameEntryHeaderSize);
        e.insert(e.end(), key.name.begin(), key.name.end());
        for (const auto& v : key.values) {
            Bytes h(f::kValueHeaderSize);
            WriteLe32(&h[f::kValueType], v.type);
            WriteLe16(&h[f::kValueNameSize], std::uint16_t(v.name.size()));
            WriteLe16(&h[f::kValueDataSize], std::uint16_t(v.data.size()));
            e.insert(e.end(), h.begin(), h.end());
            e.insert(e.end(), v.name.begin(), v.name.end());
            e.insert(e.end(), v.data.begin(), v.data.end());
        }
        WriteLe32(&e[f::kNameEntrySize], std::uint32_t(e.size()));
        WriteLe32(&e[f::kNameEntryUsed], std::uint32_t(e.size()));
        WriteLe16(&e[f::kNameEntryNameSize], std::uint16_t(key.name.size()));
        WriteLe16(&e[f::kNameEntryValues], std::uint16_t(key.values.size()));
        if (!current.empty() && f::kDataHeaderSize + current.size() + e.size() + f::kNameEntryHeaderSize > blockBytes)
            close();
        WriteLe16(&e[f::kNameEntryNumber], inBlock);
        entries[i].number = inBlock++;
        entries[i].block = std::uint16_t(blocks.size());
        current.insert(current.end(), e.begin(), e.end());
    }
    if (!current.empty() || blocks.empty()) close();

    // Readers take the entries' area to be the record's size less its header: leave room to spare.
    const std::size_t keysSize = (f::kKeysHeaderSize * 2 + entries.size() * f::kKeyEntrySize + 4095) / 4096 * 4096;
    Bytes out(f::kFileHeaderSize + keysSize);
    std::memcpy(out.data(), f::kFileSignature, 4);
    WriteLe16(&out[f::kFileMajorVersion], 1);
    WriteLe32(&out[f::kFileFirstDataBlock], std::uint32_t(out.size()));
    WriteLe16(&out[f::kFileDataBlocks], std::uint16_t(blocks.size()));
    std::uint8_t* keys = &out[f::kKeysOffset];
    std::memcpy(keys, f::kKeysSignature, 4);
    WriteLe32(keys + f::kKeysSize, std::uint32_t(keysSize));
    WriteLe32(keys + f::kKeysFirstEntry, offsetOf(0));
    WriteLe32(keys + f::kKeysEntriesSize, std::uint32_t((entries.size() - 1) * f::kKeyEntrySize));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint8_t* k = keys + offsetOf(i);
        const auto& name = entries[i].key->name;
        WriteLe32(k + f::kKeyHash,
                  i == 0 ? 0 : f::NameHash(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
        WriteLe32(k + f::kKeyUnknown, f::kNowhere);
        WriteLe32(k + f::kKeyParent, entries[i].parent);
        WriteLe32(k + f::kKeyFirstChild, entries[i].firstChild);
        WriteLe32(k + f::kKeyNextSibling, entries[i].nextSibling);
        WriteLe16(k + f::kKeyNameEntry, entries[i].number);
        WriteLe16(k + f::kKeyNameBlock, entries[i].block);
    }
    for (const auto& b : blocks) out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The keys of a REGEDIT4 file, as a Windows 9x registry holds them: those under HKEY_LOCAL_MACHINE in
// SYSTEM.DAT, under HKEY_USERS in USER.DAT (a .DEFAULT key at least). Text goes back to Windows-1252.
struct Registry {
    Key system, user;
};
inline Registry FromRegFile(const regfile::RegFile& file) {
    Registry r;
    for (const auto& k : file.keys) {
        Key* key = k.root == HKEY_LOCAL_MACHINE ? &r.system : k.root == HKEY_USERS ? &r.user : nullptr;
        if (key == nullptr) continue;
        for (std::size_t at = 0; at < k.path.size();) {
            const std::size_t end = std::min(k.path.find('\\', at), k.path.size());
            key = &key->Child(TextToAnsi(k.path.substr(at, end - at)));
            at = end + 1;
        }
        for (const auto& v : k.values) key->values.push_back({TextToAnsi(v.name), v.type, v.data});
    }
    r.user.Child(".DEFAULT");
    return r;
}

}  // namespace cregkit
