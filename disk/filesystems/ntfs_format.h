#pragma once
// The NTFS structures that a folder's lookup reads (file records, their attributes, index blocks), as
// the lookup, the tests that build them by hand and the fuzz targets see them: each field as an offset into its
// structure, each limit named once here. Little-endian throughout.
#include <cstddef>
#include <cstdint>

namespace disk::ntfs {

// --- Limits ---------------------------------------------------------------------------------------
// The stride of the update sequence: the last two bytes of every 512 bytes of a multi-sector
// structure (a file record, an index block) hold its sequence number on disk, their own bytes in
// the array; a torn write shows as a mismatch.
constexpr std::size_t kFixupStride = 512;
constexpr std::size_t kMinIndexBlock = 512;
constexpr std::size_t kMaxIndexBlock = 65536;
// Below this many bytes an index block's VCN counts 512-byte units, not clusters.
constexpr std::size_t kSmallIndexVcnUnit = 512;
constexpr std::size_t kMaxFileName = 255;  // UTF-16 units
// Links followed on the way to one file, as a kernel bounds symbolic links.
constexpr int kMaxLinks = 8;
constexpr std::uint64_t kRootFolder = 5;  // the MFT record of the root folder
constexpr std::uint64_t kVolumeFile = 3;  // $Volume: the volume's label and flags
constexpr std::uint64_t kUpCaseFile = 10;
constexpr std::size_t kUpCaseBytes = 65536 * 2;  // one upper-case unit for each UTF-16 unit

// --- A reference to a file record: 48 bits of record number, 16 of its sequence number ------------
constexpr std::uint64_t RecordOf(std::uint64_t reference) {
    return reference & 0xFFFFFFFFFFFFull;
}
constexpr std::uint16_t SequenceOf(std::uint64_t reference) {
    return std::uint16_t(reference >> 48);
}

// --- Multi-sector header (file records "FILE", index blocks "INDX") -------------------------------
namespace multi {
constexpr std::size_t kSignature = 0;
constexpr std::size_t kUsaOffset = 4;  // 16 bits
constexpr std::size_t kUsaCount = 6;   // 16 bits: the sequence number and one entry per stride
}  // namespace multi

// --- File record ("FILE"), one file's entry in the MFT ---------------------------------------------
namespace record {
constexpr char kSignature[] = "FILE";
constexpr std::size_t kSequence = 0x10;        // 16 bits: bumped each time the record is reused
constexpr std::size_t kFirstAttribute = 0x14;  // 16 bits
constexpr std::size_t kFlags = 0x16;           // 16 bits
constexpr std::size_t kUsedSize = 0x18;        // 32 bits
constexpr std::size_t kBaseRecord = 0x20;      // 64 bits: a reference; 0 for a file's own record
constexpr std::size_t kHeaderSize = 0x30;
constexpr std::uint16_t kInUse = 0x0001;
constexpr std::uint16_t kFolder = 0x0002;
constexpr std::size_t kMinSize = 512, kMaxSize = 65536;
}  // namespace record

// --- Attribute, in a file record -------------------------------------------------------------------
namespace attribute {
constexpr std::size_t kType = 0x00;         // 32 bits
constexpr std::size_t kLength = 0x04;       // 32 bits
constexpr std::size_t kNonResident = 0x08;  // 8 bits
constexpr std::size_t kNameLength = 0x09;   // 8 bits, UTF-16 units
constexpr std::size_t kNameOffset = 0x0A;   // 16 bits
constexpr std::size_t kFlags = 0x0C;        // 16 bits
constexpr std::size_t kValueLength = 0x10;  // 32 bits, resident
constexpr std::size_t kValueOffset = 0x14;  // 16 bits, resident
constexpr std::size_t kResidentHeader = 0x18;
constexpr std::size_t kStartVcn = 0x10;         // 64 bits, non-resident
constexpr std::size_t kRunsOffset = 0x20;       // 16 bits
constexpr std::size_t kDataSize = 0x30;         // 64 bits
constexpr std::size_t kInitializedSize = 0x38;  // 64 bits
constexpr std::size_t kNonResidentHeader = 0x40;
constexpr std::uint32_t kEnd = 0xFFFFFFFF;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kIndexRoot = 0x90;
constexpr std::uint32_t kIndexAllocation = 0xA0;
constexpr std::uint32_t kReparsePoint = 0xC0;
constexpr std::uint16_t kCompressed = 0x00FF, kEncrypted = 0x4000, kSparse = 0x8000;
constexpr char16_t kFolderIndex[] = u"$I30";  // the name of a folder's index of file names
}  // namespace attribute

// --- Entry of an attribute list ($ATTRIBUTE_LIST): where an attribute of a file lies -----------------
namespace listed {
constexpr std::size_t kType = 0x00;        // 32 bits
constexpr std::size_t kLength = 0x04;      // 16 bits
constexpr std::size_t kNameLength = 0x06;  // 8 bits, UTF-16 units
constexpr std::size_t kNameOffset = 0x07;  // 8 bits
constexpr std::size_t kStartVcn = 0x08;    // 64 bits
constexpr std::size_t kRecord = 0x10;      // 64 bits: a reference to the record holding it
constexpr std::size_t kMinSize = 0x1A;
}  // namespace listed

// --- Index block ("INDX"), a node of a folder's B-tree ---------------------------------------------
namespace block {
constexpr char kSignature[] = "INDX";
constexpr std::size_t kVcn = 0x10;     // 64 bits: where the block says it lies
constexpr std::size_t kHeader = 0x18;  // its node header
}  // namespace block

// --- Node header, in an index root after its 16 bytes and in an index block at block::kHeader ------
namespace node {
constexpr std::size_t kEntriesOffset = 0;  // 32 bits, from the node header
constexpr std::size_t kIndexLength = 4;    // 32 bits: where the entries end, from the node header
constexpr std::size_t kAllocated = 8;      // 32 bits
constexpr std::size_t kFlags = 12;         // 8 bits
constexpr std::size_t kSize = 16;
constexpr std::uint8_t kHasChildren = 0x01;
}  // namespace node

// --- Index root ($INDEX_ROOT, resident): the top node and the index's shape -----------------------
namespace root {
constexpr std::size_t kIndexedType = 0;  // 32 bits: 0x30, file names, for a folder's $I30
constexpr std::size_t kCollation = 4;    // 32 bits
constexpr std::size_t kBlockSize = 8;    // 32 bits: bytes of each index block
constexpr std::size_t kNode = 16;        // its node header
constexpr std::uint32_t kFileNames = 0x30;
constexpr std::uint32_t kCollateFileName = 0x01;
}  // namespace root

// --- Index entry ------------------------------------------------------------------------------------
namespace entry {
constexpr std::size_t kReference = 0;   // 64 bits: the file the entry names
constexpr std::size_t kLength = 8;      // 16 bits: the whole entry, its subnode VCN included
constexpr std::size_t kKeyLength = 10;  // 16 bits
constexpr std::size_t kFlags = 12;      // 16 bits
constexpr std::size_t kKey = 16;
constexpr std::size_t kMinSize = 16;
constexpr std::uint16_t kSubnode = 0x01;  // its last 8 bytes: the VCN of the node before it
constexpr std::uint16_t kLast = 0x02;     // no key: it ends the node
}  // namespace entry

// --- $FILE_NAME, the key of a folder's index entries ----------------------------------------------
namespace filename {
constexpr std::size_t kParent = 0x00;      // 64 bits: reference of the folder
constexpr std::size_t kAttributes = 0x38;  // 32 bits, as the folder last saw them
constexpr std::size_t kNameLength = 0x40;  // 8 bits, UTF-16 units
constexpr std::size_t kNameSpace = 0x41;   // 8 bits
constexpr std::size_t kName = 0x42;
constexpr std::uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;
constexpr std::uint32_t kReparsePoint = 0x00000400;
constexpr std::uint32_t kDirectory = 0x10000000;
}  // namespace filename

// --- Reparse point data ($REPARSE_POINT) -----------------------------------------------------------
namespace reparse {
constexpr std::size_t kTag = 0;         // 32 bits
constexpr std::size_t kDataLength = 4;  // 16 bits, after the 8-byte header
constexpr std::size_t kHeader = 8;
// Junctions and symbolic links: the substitute name (what Windows follows) and the print name.
constexpr std::size_t kSubstituteOffset = 8;  // 16 bits each, from the path buffer
constexpr std::size_t kSubstituteLength = 10;
constexpr std::size_t kPrintOffset = 12;
constexpr std::size_t kPrintLength = 14;
constexpr std::size_t kJunctionPaths = 16;  // the path buffer of a junction
constexpr std::size_t kLinkFlags = 16;      // 32 bits, symbolic links only
constexpr std::size_t kLinkPaths = 20;      // the path buffer of a symbolic link
constexpr std::uint32_t kLinkRelative = 0x1;
constexpr std::uint32_t kTagJunction = 0xA0000003;  // a mount point
constexpr std::uint32_t kTagSymlink = 0xA000000C;
constexpr std::uint32_t kTagWof = 0x80000017;  // a file Windows stored compressed
}  // namespace reparse

// --- Volume information ($VOLUME_INFORMATION, an attribute of $Volume) -----------------------------
namespace volume_information {
constexpr std::size_t kFlags = 10;  // 16 bits, after 8 reserved bytes and the version's two
constexpr std::size_t kSize = 12;
constexpr std::uint16_t kDirty = 0x0001;  // not shut down cleanly
}  // namespace volume_information

}  // namespace disk::ntfs
