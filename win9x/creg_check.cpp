// The structure of a Windows 9x registry file, checked before libcreg reads it: libcreg opens a file
// cut short and reads what it holds, and follows key entries that loop for as long as memory lasts.
#include "creg_check.h"

#include "byte_order.h"
#include "creg_format.h"
#include "hex.h"
#include "hive_format.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace win9x {
namespace {

class Checker {
public:
    Checker(const std::string& path, const std::uint8_t* bytes, std::size_t size)
        : path_(path), p_(bytes), size_(size) {}

    void Run() {
        if (size_ < format::kFileHeaderSize || std::memcmp(p_, format::kFileSignature, 4) != 0)
            Fail("not a Windows 95, 98 or Me registry file (it does not start with \"CREG\")");
        const std::size_t keysEnd = Keys();
        Blocks(keysEnd);
        Tree();
    }

private:
    [[noreturn]] void Fail(const std::string& what) { throw CregError(path_ + ": " + what); }
    [[noreturn]] void FailAt(std::size_t offset, const std::string& what) {
        Fail("offset " + Hex(offset) + ": " + what);
    }

    // The key navigation record: where it ends.
    std::size_t Keys() {
        const std::size_t at = format::kKeysOffset;
        if (size_ < at + format::kKeysHeaderSize)
            Fail("truncated: the file ends at " + Hex(size_) + ", inside the key entries' header");
        if (std::memcmp(p_ + at, format::kKeysSignature, 4) != 0) FailAt(at, "no key entries (\"RGKN\") there");
        keysSize_ = ReadLe32(p_ + at + format::kKeysSize);
        if (keysSize_ < format::kKeysHeaderSize)
            FailAt(at, "key entries of " + Hex(keysSize_) + " bytes, less than their header");
        if (keysSize_ > size_ - at)
            FailAt(at, "truncated: the key entries take " + Hex(keysSize_) + " bytes, the file ends at " + Hex(size_));
        return at + keysSize_;
    }

    // The data blocks, one after the other to the end of the file, and the entries in each.
    void Blocks(std::size_t keysEnd) {
        std::size_t at = ReadLe32(p_ + format::kFileFirstDataBlock);
        if (at < keysEnd || at > size_)
            Fail("the header puts the first data block at " + Hex(at) + ", not between the key entries' end (" +
                 Hex(keysEnd) + ") and the file's (" + Hex(size_) + ")");
        std::size_t count = 0;
        while (at < size_) {
            if (size_ - at < format::kDataHeaderSize)
                FailAt(at, "truncated: the file ends at " + Hex(size_) + ", inside a data block's header");
            if (std::memcmp(p_ + at, format::kDataSignature, 4) != 0) FailAt(at, "no data block (\"RGDB\") there");
            const std::size_t blockSize = ReadLe32(p_ + at + format::kDataSize);
            if (blockSize < format::kDataHeaderSize)
                FailAt(at, "a data block of " + Hex(blockSize) + " bytes, less than its header");
            if (blockSize > size_ - at)
                FailAt(at,
                       "truncated: the data block takes " + Hex(blockSize) + " bytes, the file ends at " + Hex(size_));
            Entries(at + format::kDataHeaderSize, at + blockSize);
            at += blockSize;
            ++count;
        }
        const std::size_t counted = ReadLe16(p_ + format::kFileDataBlocks);
        if (count != counted)
            Fail("the header counts " + std::to_string(counted) + " data blocks, the file holds " +
                 std::to_string(count));
    }

    void Entries(std::size_t at, std::size_t end) {
        while (at < end) {
            if (end - at < 6) FailAt(at, "an entry cut off by the end of its data block");
            const std::size_t size = ReadLe32(p_ + at + format::kNameEntrySize);
            if (size < 6 || size > end - at)
                FailAt(at, "an entry of " + Hex(size) + " bytes, " +
                               (size < 6 ? std::string("too small to be one") : "past the end of its data block"));
            if (ReadLe16(p_ + at + format::kNameEntryNumber) != format::kNoEntry) Entry(at, size);
            at += size;
        }
    }

    // A key's name entry: its name and values within it.
    void Entry(std::size_t at, std::size_t size) {
        if (size < format::kNameEntryHeaderSize)
            FailAt(at, "a key's entry of " + Hex(size) + " bytes, less than its header");
        std::size_t used = format::kNameEntryHeaderSize + ReadLe16(p_ + at + format::kNameEntryNameSize);
        const std::size_t values = ReadLe16(p_ + at + format::kNameEntryValues);
        for (std::size_t i = 0; i < values && used <= size; ++i) {
            if (size - used < format::kValueHeaderSize) {
                used = size + 1;
                break;
            }
            const std::uint8_t* v = p_ + at + used;
            used +=
                format::kValueHeaderSize + ReadLe16(v + format::kValueNameSize) + ReadLe16(v + format::kValueDataSize);
        }
        if (used > size)
            FailAt(at, "a key's name and " + std::to_string(values) + " values do not fit in its entry of " +
                           Hex(size) + " bytes");
    }

    // The key entries, from the root: each inside the record, none reached twice, at most 512 levels.
    void Tree() {
        struct Open {
            std::uint32_t entry;
            int depth;
        };
        std::vector<Open> open{{ReadLe32(p_ + format::kKeysOffset + format::kKeysFirstEntry), 1}};
        std::unordered_set<std::uint32_t> seen;
        while (!open.empty()) {
            const Open o = open.back();
            open.pop_back();
            const std::size_t file = format::kKeysOffset + o.entry;
            if (o.entry < format::kKeysHeaderSize || o.entry > keysSize_ || keysSize_ - o.entry < format::kKeyEntrySize)
                Fail("a key entry at " + Hex(o.entry) + " of the key entries, outside them");
            if (!seen.insert(o.entry).second) FailAt(file, "a key entry reached twice: the key entries loop");
            if (o.depth > hive::format::kMaxDepth) FailAt(file, hive::format::TooDeepText());
            const std::uint32_t sibling = ReadLe32(p_ + file + format::kKeyNextSibling);
            const std::uint32_t child = ReadLe32(p_ + file + format::kKeyFirstChild);
            if (sibling != format::kNowhere && o.depth > 1) open.push_back({sibling, o.depth});
            if (child != format::kNowhere) open.push_back({child, o.depth + 1});
        }
    }

    const std::string& path_;
    const std::uint8_t* p_;
    std::size_t size_;
    std::size_t keysSize_ = 0;
};

}  // namespace

void CheckCreg(const std::string& name, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) throw CregError(name + ": empty, not a Windows 95, 98 or Me registry file");
    Checker(name, bytes.data(), bytes.size()).Run();
}

}  // namespace win9x
