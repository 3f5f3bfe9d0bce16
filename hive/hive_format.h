#pragma once
// The regf format as the reader, the writer and the tests that build logs by hand all see it: each
// record's fields (offsets into the record, i.e. the cell's data after its 4-byte size) and each limit,
// named once here.
#include "byte_order.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace hive::format {

// --- Limits ---------------------------------------------------------------------------------------
constexpr std::size_t kBaseBlockSize = 4096;
constexpr std::size_t kPageSize = 4096;  // bins are whole pages
constexpr std::size_t kLogSector = 512;  // log entries, dirty pages and a log's base block copy
constexpr std::size_t kBinHeaderSize = 32;
constexpr std::size_t kCellSizeField = 4;
constexpr std::size_t kCellAlign = 8;
constexpr std::uint32_t kNowhere = 0xFFFFFFFF;
// Bins are addressed by 32-bit offsets: no hive holds more, and no file is larger than this.
constexpr std::uint64_t kMaxBinsSize = 0xFFFFF000;
constexpr std::uint64_t kMaxFileSize = kBaseBlockSize + 0x100000000ull;
// Windows addresses a hive's stable cells with 31 bits (the top bit marks volatile ones), so no hive
// or log it writes is larger than this: what a reader of installations accepts.
constexpr std::uint64_t kMaxWrittenFileSize = std::uint64_t(2) << 30;
// Data above kBigDataSegment bytes goes in segments of that many bytes (the last one shorter), each
// in a cell of kBigDataCell bytes, the last one too, as Windows sizes them: readers take a segment's
// length from its cell.
constexpr std::uint32_t kBigDataSegment = 16344;
constexpr std::uint32_t kBigDataCell = 16352;
constexpr std::uint32_t kMaxBigDataSegments = 0xFFFF;  // the db record's 16-bit count
// A key and its subkeys nest at most this many levels, counting the hive's root key as the first:
// mounted below a predefined key (HKLM\SYSTEM), the deepest key is this many levels below it.
constexpr int kMaxDepth = 512;
// What a reader or the writer says of a tree deeper than that: the same words from each.
inline std::string TooDeepText() {
    return "keys nested deeper than " + std::to_string(kMaxDepth) + " levels";
}
constexpr std::size_t kMaxKeyName = 255;  // UTF-16 units
constexpr std::size_t kMaxValueName = 16383;
constexpr std::size_t kMaxClassName = 0x7FFF;  // its length in bytes is a 16-bit field

// Cell bytes for `dataBytes` of record: its size field, then the data, to the next multiple of 8.
constexpr std::size_t CellSize(std::size_t dataBytes) {
    return (dataBytes + kCellSizeField + kCellAlign - 1) / kCellAlign * kCellAlign;
}
static_assert(CellSize(kBigDataSegment) == kBigDataCell);

// --- Base block (primary file and each log's first sector) ---------------------------------------
namespace base {
constexpr std::size_t kSignature = 0;  // "regf"
constexpr std::size_t kSeq1 = 4;       // bumped when a write starts
constexpr std::size_t kSeq2 = 8;       // bumped when it ends
constexpr std::size_t kWritten = 12;   // FILETIME
constexpr std::size_t kMajor = 20;
constexpr std::size_t kMinor = 24;
constexpr std::size_t kType = 28;
constexpr std::size_t kFormat = 32;
constexpr std::size_t kRoot = 36;  // bins offset of the root key node
constexpr std::size_t kBinsSize = 40;
constexpr std::size_t kCluster = 44;
constexpr std::size_t kChecksum = 508;
constexpr std::uint32_t kTypePrimary = 0, kTypeOldLog = 1, kTypeNewLog = 6;
constexpr std::uint32_t kMajorVersion = 1, kMinMinor = 3, kMaxMinor = 6, kWrittenMinor = 5;
constexpr std::uint32_t kBigDataMinor = 4;  // db records from this minor version on
constexpr std::uint32_t kFileFormat = 1;
}  // namespace base

// --- Hive bin header -------------------------------------------------------------------------------
namespace bin {
constexpr std::size_t kSelf = 4;  // its own bins offset
constexpr std::size_t kSize = 8;
constexpr std::size_t kWritten = 20;  // FILETIME, first bin only
}  // namespace bin

// --- nk key node ---------------------------------------------------------------------------------
namespace nk {
constexpr std::size_t kFlags = 2;
constexpr std::size_t kWritten = 4;
constexpr std::size_t kParent = 16;
constexpr std::size_t kSubkeyCount = 20;
constexpr std::size_t kSubkeys = 28;
constexpr std::size_t kVolatileSubkeys = 32;
constexpr std::size_t kValueCount = 36;
constexpr std::size_t kValues = 40;
constexpr std::size_t kSecurity = 44;
constexpr std::size_t kClass = 48;
constexpr std::size_t kMaxSubkeyNameBytes = 52;
constexpr std::size_t kMaxSubkeyClassBytes = 56;
constexpr std::size_t kMaxValueNameBytes = 60;
constexpr std::size_t kMaxValueDataBytes = 64;
constexpr std::size_t kNameBytes = 72;
constexpr std::size_t kClassBytes = 74;
constexpr std::size_t kName = 76;  // also the record's size without its name
constexpr std::uint16_t kFlagNoDelete = 0x0008, kFlagRoot = 0x0004, kFlagLatin1 = 0x0020;
}  // namespace nk

// --- vk value --------------------------------------------------------------------------------------
namespace vk {
constexpr std::size_t kNameBytes = 2;
constexpr std::size_t kDataSize = 4;
constexpr std::size_t kData = 8;  // a cell offset, or the data itself when kDataInline is set
constexpr std::size_t kType = 12;
constexpr std::size_t kFlags = 16;
constexpr std::size_t kName = 20;
constexpr std::uint32_t kDataInline = 0x80000000;
constexpr std::uint32_t kMaxInline = 4;
constexpr std::uint16_t kFlagLatin1 = 0x0001;
}  // namespace vk

// --- db big data, subkey lists (li, lf, lh, ri), sk security -----------------------------------------
namespace db {
constexpr std::size_t kCount = 2;
constexpr std::size_t kSegments = 4;
constexpr std::size_t kSize = 8;
}  // namespace db
namespace list {
constexpr std::size_t kCount = 2;
constexpr std::size_t kElements = 4;
constexpr std::size_t kNarrow = 4;       // li and ri: an offset
constexpr std::size_t kWide = 8;         // lf and lh: an offset and a hash or hint
constexpr std::size_t kHash = 4;         // within a wide element
constexpr std::uint32_t kLeafMax = 512;  // what the writer puts in one lh list; more go under an ri
}  // namespace list
namespace sk {
constexpr std::size_t kNext = 4;
constexpr std::size_t kPrevious = 8;
constexpr std::size_t kReferences = 12;
constexpr std::size_t kDescriptorSize = 16;
constexpr std::size_t kDescriptor = 20;
}  // namespace sk

// --- Transaction logs ------------------------------------------------------------------------------
namespace logfile {
constexpr std::size_t kDirtyMap = 516;  // old format: "DIRT" at 512, then one bit per 512-byte page
// New format: entries ("HvLE") from offset 512.
constexpr std::size_t kSize = 4;
constexpr std::size_t kFlags = 8;
constexpr std::size_t kSeq = 12;
constexpr std::size_t kBinsSize = 16;
constexpr std::size_t kPageCount = 20;
constexpr std::size_t kHash1 = 24;  // Marvin32 of the entry from kPages to its end
constexpr std::size_t kHash2 = 32;  // Marvin32 of the first 32 bytes
constexpr std::size_t kPages = 40;  // page references, each kPageRef bytes:
constexpr std::size_t kPageRef = 8;
constexpr std::size_t kPageOffset = 0;  // 32 bits: where in the bins
constexpr std::size_t kPageBytes = 4;   // 32 bits: how many bytes
}  // namespace logfile

// --- Signatures: the letters each record starts with (no terminating NUL on disk) -----------------
namespace sig {
constexpr char kHive[] = "regf";  // the base block
constexpr char kBin[] = "hbin";
constexpr char kKey[] = "nk";
constexpr char kValue[] = "vk";
constexpr char kSecurity[] = "sk";
constexpr char kFastLeaf[] = "lf";   // subkey lists: name hints,
constexpr char kHashLeaf[] = "lh";   // name hashes,
constexpr char kIndexLeaf[] = "li";  // offsets alone,
constexpr char kIndexRoot[] = "ri";  // lists of lists
constexpr char kBigData[] = "db";
constexpr char kLogEntry[] = "HvLE";  // a log entry of the new format
constexpr char kDirtyMap[] = "DIRT";  // the dirty page map of the old format
}  // namespace sig

// The logs Windows keeps beside a hive, looked for in this order (any case of letters).
constexpr const char* kLogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};

// Whether `bytes` start as a hive's base block does.
inline bool LooksLikeHive(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && std::memcmp(bytes.data() + base::kSignature, sig::kHive, 4) == 0;
}

// Writes a record's signature: its letters, no terminating NUL.
template <std::size_t N>
inline void PutSig(std::uint8_t* p, const char (&signature)[N]) {
    std::memcpy(p, signature, N - 1);
}

// XOR of the 127 dwords before the checksum, with the two values Windows never stores replaced.
inline std::uint32_t BaseBlockChecksum(const std::uint8_t* block) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < base::kChecksum; i += 4) sum ^= ReadLe32(block + i);
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (sum == 0) return 1;
    return sum;
}

// The hash of log entries: Marvin32 with the seed Windows uses for them.
std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed = 0x82EF4D887A4E55C5ull);

// Windows' upper case of one UTF-16 unit, as it compares and hashes key names.
char16_t Upcase(char16_t unit);

// The hash an lh subkey list keeps beside each key: of the name upper-cased, unit by unit.
inline std::uint32_t NameHash(std::u16string_view name) {
    std::uint32_t h = 0;
    for (const char16_t c : name) h = 37 * h + Upcase(c);
    return h;
}

// A name as messages show it: UTF-8, a lone surrogate as its three bytes.
std::string Utf8(std::u16string_view s);

// A subkey list cell as both readers see it: an index ("ri", a list of lists) or a leaf ("li", "lf",
// "lh"), its count and the bytes of each element; `cell` is the cell's data. Returns what is wrong,
// in the words both readers use, or nullptr.
struct SubkeyList {
    bool index = false;   // an "ri": each element the offset of a leaf
    bool hashes = false;  // an "lh": each element holds its name's hash (NameHash) at list::kHash
    std::uint32_t count = 0;
    std::size_t stride = 0;
    // The offset of element `i` of `cell`.
    std::uint32_t At(std::span<const std::uint8_t> cell, std::uint32_t i) const {
        return ReadLe32(&cell[list::kElements + std::size_t(i) * stride]);
    }
    std::uint32_t HashAt(std::span<const std::uint8_t> cell, std::uint32_t i) const {
        return ReadLe32(&cell[list::kElements + std::size_t(i) * stride + list::kHash]);
    }
};
const char* DecodeSubkeyList(std::span<const std::uint8_t> cell, SubkeyList& out);

// What a file shorter than a base block is, in the words every reader uses after the file's name:
// an empty file, a hive cut short, or no hive at all.
std::string ShortFileFault(std::span<const std::uint8_t> bytes);

}  // namespace hive::format
