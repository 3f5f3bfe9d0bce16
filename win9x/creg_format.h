#pragma once
// Pieces of the Windows 95, 98 and Me registry file (CREG) shared by the reader and by the tests that
// write such files: the signatures, the sizes of the records and where their fields lie.
#include "ascii.h"

#include <cstddef>
#include <cstdint>

namespace win9x::format {

constexpr char kFileSignature[4] = {'C', 'R', 'E', 'G'};
constexpr char kKeysSignature[4] = {'R', 'G', 'K', 'N'};
constexpr char kDataSignature[4] = {'R', 'G', 'D', 'B'};

// File header.
constexpr std::size_t kFileHeaderSize = 32;
constexpr std::size_t kFileMinorVersion = 4, kFileMajorVersion = 6;  // 16-bit fields: 0 and 1
constexpr std::size_t kFileFirstDataBlock = 8;
constexpr std::size_t kFileDataBlocks = 16;  // 16-bit

// Key navigation record, at the end of the file header.
constexpr std::size_t kKeysOffset = kFileHeaderSize;
constexpr std::size_t kKeysHeaderSize = 32;
constexpr std::size_t kKeysSize = 4;
constexpr std::size_t kKeysFirstEntry = 8;  // from the record's start
constexpr std::size_t kKeysEntriesSize = 12;

// Key entry: offsets of other entries are from the key navigation record's start.
constexpr std::size_t kKeyEntrySize = 28;
constexpr std::size_t kKeyHash = 4, kKeyUnknown = 8, kKeyParent = 12, kKeyFirstChild = 16, kKeyNextSibling = 20;
constexpr std::size_t kKeyNameEntry = 24, kKeyNameBlock = 26;  // 16-bit; kNoEntry when none
constexpr std::uint32_t kNowhere = 0xFFFFFFFF;
constexpr std::uint16_t kNoEntry = 0xFFFF;

// Data block and the key name entries in it.
constexpr std::size_t kDataHeaderSize = 32;
constexpr std::size_t kDataSize = 4, kDataUnused = 8, kDataUnknown = 12, kDataNumber = 14, kDataUsed = 16;
constexpr std::size_t kNameEntryHeaderSize = 20;
constexpr std::size_t kNameEntrySize = 0, kNameEntryNumber = 4, kNameEntryUsed = 8, kNameEntryNameSize = 12,
                      kNameEntryValues = 14;  // number 16-bit; kNoEntry marks an unused entry
// Value, after its key's name: type, an unknown field, name and data sizes (16-bit), name, data.
constexpr std::size_t kValueHeaderSize = 12;
constexpr std::size_t kValueType = 0, kValueNameSize = 8, kValueDataSize = 10;

// The hash of a key's name: the sum of the bytes of its upper-cased name that are below 0x80.
inline std::uint32_t NameHash(const std::uint8_t* name, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t c = name[i];
        if (c < 0x80) sum += AsciiUpper(c);
    }
    return sum;
}

}  // namespace win9x::format
