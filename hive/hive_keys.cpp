// A few keys of a hive read on demand: the base block, then only the cells on the way to each key
// asked for and that key's values, in 4 KiB pages read once each. The checks are those of the whole
// reader for every cell read, less the ones that need the whole file (each bin's bounds, each cell
// reached once): a cell must lie inside the bins, be in use and fit them.
#include "hex.h"
#include "hive.h"
#include "hive_format.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace hive {
namespace {

using namespace format;

constexpr std::uint32_t kPage = kPageSize;

bool Clean(std::span<const std::uint8_t> block) {
    return block.size() >= kBaseBlockSize && Get32(&block[base::kSeq1]) == Get32(&block[base::kSeq2]) &&
           Get32(&block[base::kChecksum]) == BaseBlockChecksum(block.data());
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = Upcase(c);
    return out;
}

// The keys asked for, as a tree of upper-cased names.
struct Wanted {
    std::u16string upper;
    bool values = false;
    std::vector<std::unique_ptr<Wanted>> children;

    Wanted* Child(std::u16string_view name) {
        const std::u16string u = Upper(name);
        for (auto& c : children)
            if (c->upper == u) return c.get();
        children.push_back(std::make_unique<Wanted>());
        children.back()->upper = u;
        return children.back().get();
    }
    // The key asked for by that name, else every subkey's (kAnySubkey), else none.
    const Wanted* Find(std::u16string_view name) const {
        const std::u16string u = Upper(name);
        const Wanted* any = nullptr;
        for (const auto& c : children) {
            if (c->upper == u) return c.get();
            if (c->upper == kAnySubkey) any = c.get();
        }
        return any;
    }
    bool AnySubkey() const {
        return std::any_of(children.begin(), children.end(), [](const auto& c) { return c->upper == kAnySubkey; });
    }
};

Wanted TreeOf(std::span<const std::vector<std::u16string>> paths) {
    Wanted root;
    for (const auto& path : paths) {
        Wanted* at = &root;
        for (const auto& name : path) at = at->Child(name);
        at->values = true;
    }
    return root;
}

// Passes on only the keys of `wanted`, for a hive that had to be read whole.
class Filter : public Visitor {
public:
    Filter(const Wanted& root, Visitor& out) : root_(root), out_(out) {}
    void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) override {
        const Wanted* at = stack_.empty() ? &root_ : stack_.back() != nullptr ? stack_.back()->Find(name) : nullptr;
        stack_.push_back(at);
        if (at != nullptr) out_.BeginKey(name, className, lastWritten);
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (stack_.back() != nullptr && stack_.back()->values) out_.Value(name, type, data);
    }
    void EndKey() override {
        if (stack_.back() != nullptr) out_.EndKey();
        stack_.pop_back();
    }

private:
    const Wanted& root_;
    Visitor& out_;
    std::vector<const Wanted*> stack_;
};

class OnDemand {
public:
    OnDemand(const std::string& name, const PageReader& read, std::uint32_t binsSize, std::uint32_t minor,
             Visitor& visitor)
        : name_(name), read_(read), binsSize_(binsSize), minor_(minor), visitor_(visitor) {}

    void Key(std::uint32_t off, std::uint32_t from, const Wanted& wanted) {
        const auto key = KeyNode(off, from);
        const std::u16string name = KeyName(key, off);
        std::u16string className;
        if (const std::size_t classBytes = Get16(&key[nk::kClassBytes]); classBytes > 0) {
            const auto cls = Cell(Get32(&key[nk::kClass]), off, "class name");
            if (classBytes > cls.size() || classBytes % 2) Fail(off, "a class name that does not fit its cell");
            className = Name(cls, 0, classBytes, false, off, "class name");
        }
        visitor_.BeginKey(name, className, Get64(&key[nk::kWritten]));
        if (wanted.values) Values(off, Get32(&key[nk::kValueCount]), Get32(&key[nk::kValues]));
        if (wanted.AnySubkey()) {
            // Every subkey's node is read, in the hive's order, as the whole reader walks them.
            if (Get32(&key[nk::kSubkeyCount]) > 0)
                EachSubkey(off, Get32(&key[nk::kSubkeys]), [&](std::uint32_t sub, std::uint32_t list) {
                    const std::u16string subName = KeyName(KeyNode(sub, list), sub);
                    Key(sub, list, *wanted.Find(subName));
                });
            visitor_.EndKey();
            return;
        }
        for (const auto& child : wanted.children)
            if (const std::uint32_t sub =
                    Subkey(off, Get32(&key[nk::kSubkeyCount]), Get32(&key[nk::kSubkeys]), child->upper);
                sub != kNowhere)
                Key(sub, off, *child);
        visitor_.EndKey();
    }

private:
    // `binsOffset` kNowhere: the base block's pointer to the root key.
    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        throw HiveError(name_ + ": at offset " +
                        Hex(binsOffset == kNowhere ? base::kRoot : std::uint64_t(binsOffset) + kBaseBlockSize) + ": " +
                        what);
    }

    std::vector<std::uint8_t> KeyNode(std::uint32_t off, std::uint32_t from) {
        auto key = Cell(off, from, "key node");
        if (key.size() < nk::kName || !Sig(key, sig::kKey)) Fail(off, "not a key node (\"nk\")");
        return key;
    }
    std::u16string KeyName(const std::vector<std::uint8_t>& key, std::uint32_t off) {
        return Name(key, nk::kName, Get16(&key[nk::kNameBytes]), Get16(&key[nk::kFlags]) & nk::kFlagLatin1, off,
                    "key name");
    }

    static bool Sig(const std::vector<std::uint8_t>& cell, const char* sig) {
        return cell.size() >= 2 && cell[0] == std::uint8_t(sig[0]) && cell[1] == std::uint8_t(sig[1]);
    }

    // `length` bytes at `off` of the bins, from the pages read so far or read now.
    void Bytes(std::uint32_t off, std::uint32_t length, std::uint8_t* out) {
        while (length > 0) {
            const std::uint32_t page = off / kPage, into = off % kPage, n = std::min(length, kPage - into);
            auto it = pages_.find(page);
            if (it == pages_.end()) {
                std::vector<std::uint8_t> bytes(kPage);
                read_(kBaseBlockSize + std::uint64_t(page) * kPage, bytes.data(), kPage);
                it = pages_.emplace(page, std::move(bytes)).first;
            }
            std::memcpy(out, it->second.data() + into, n);
            out += n, off += n, length -= n;
        }
    }

    // The data of the cell at `off`, which the record at `from` points to as its `what`.
    std::vector<std::uint8_t> Cell(std::uint32_t off, std::uint32_t from, const char* what) {
        if (off == kNowhere || off % kCellAlign != 0 || off < kBinHeaderSize ||
            std::uint64_t(off) + kCellSizeField > binsSize_)
            Fail(from, std::string("the ") + what + " points outside the hive bins (" + Hex(off) + ")");
        std::uint8_t head[kCellSizeField];
        Bytes(off, kCellSizeField, head);
        const std::int64_t size = std::int32_t(Get32(head));
        if (size >= 0) Fail(off, std::string("the ") + what + " is a free cell");
        if (std::uint64_t(-size) < kCellSizeField || std::uint64_t(off) + std::uint64_t(-size) > binsSize_)
            Fail(off, std::string("the ") + what + " is a cell of size " + Hex(std::uint64_t(-size)) +
                          ", past the hive bins");
        std::vector<std::uint8_t> cell(std::size_t(-size) - kCellSizeField);
        Bytes(off + kCellSizeField, std::uint32_t(cell.size()), cell.data());
        return cell;
    }

    std::u16string Name(const std::vector<std::uint8_t>& cell, std::size_t at, std::size_t bytes, bool latin1,
                        std::uint32_t off, const char* what) {
        if (at + bytes > cell.size()) Fail(off, std::string("a ") + what + " longer than its cell");
        if (!latin1 && bytes % 2) Fail(off, std::string("a UTF-16 ") + what + " of an odd number of bytes");
        std::u16string out(latin1 ? bytes : bytes / 2, u'\0');
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = latin1 ? char16_t(cell[at + i]) : char16_t(Get16(&cell[at + 2 * i]));
        return out;
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        const auto list = Cell(listOff, key, "value list");
        if (std::uint64_t(count) * 4 > list.size())
            Fail(listOff, std::to_string(count) + " values in a list cell too small for them");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = Get32(&list[4 * i]);
            const auto value = Cell(off, listOff, "value");
            if (value.size() < vk::kName || !Sig(value, sig::kValue)) Fail(off, "not a value (\"vk\")");
            const std::u16string name = Name(value, vk::kName, Get16(&value[vk::kNameBytes]),
                                             Get16(&value[vk::kFlags]) & vk::kFlagLatin1, off, "value name");
            const std::vector<std::uint8_t> data = Data(off, value);
            visitor_.Value(name, Get32(&value[vk::kType]), data);
        }
    }

    std::vector<std::uint8_t> Data(std::uint32_t vkOff, const std::vector<std::uint8_t>& value) {
        const std::uint32_t size = Get32(&value[vk::kDataSize]);
        if (size & vk::kDataInline) {
            const std::uint32_t n = size & ~vk::kDataInline;
            if (n > vk::kMaxInline)
                Fail(vkOff, "data of " + std::to_string(n) + " bytes said to sit in the value itself");
            return {value.begin() + vk::kData, value.begin() + std::ptrdiff_t(vk::kData + n)};
        }
        if (size == 0) return {};
        const std::uint32_t dataOff = Get32(&value[vk::kData]);
        auto cell = Cell(dataOff, vkOff, "value's data");
        if (size > kBigDataSegment && minor_ >= base::kBigDataMinor && Sig(cell, sig::kBigData))
            return BigData(dataOff, cell, size);
        if (size > cell.size())
            Fail(vkOff, "data of " + std::to_string(size) + " bytes in a cell of " + std::to_string(cell.size()));
        cell.resize(size);
        return cell;
    }

    std::vector<std::uint8_t> BigData(std::uint32_t dbOff, const std::vector<std::uint8_t>& rec, std::uint32_t size) {
        if (rec.size() < db::kSize) Fail(dbOff, "a big-data record (\"db\") too short");
        const std::uint32_t count = Get16(&rec[db::kCount]), listOff = Get32(&rec[db::kSegments]);
        if (count != (std::uint64_t(size) + kBigDataSegment - 1) / kBigDataSegment)
            Fail(dbOff, std::to_string(count) + " big-data segments for " + std::to_string(size) + " bytes");
        const auto list = Cell(listOff, dbOff, "big-data segment list");
        if (std::size_t(count) * 4 > list.size()) Fail(listOff, "a big-data segment list shorter than its count");
        std::vector<std::uint8_t> out;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t segOff = Get32(&list[4 * i]);
            const auto seg = Cell(segOff, listOff, "big-data segment");
            const std::size_t take = std::min<std::size_t>(kBigDataSegment, size - out.size());
            if (seg.size() < take) Fail(segOff, "a big-data segment shorter than its data");
            out.insert(out.end(), seg.begin(), seg.begin() + std::ptrdiff_t(take));
        }
        return out;
    }

    // Each subkey of `key` by its node's offset and the list that points to it.
    template <typename Each>
    void EachSubkey(std::uint32_t key, std::uint32_t listOff, const Each& each) {
        const auto top = Cell(listOff, key, "subkey list");
        SubkeyList decoded;
        if (const char* fault = DecodeSubkeyList(top, decoded)) Fail(listOff, fault);
        const auto leafKeys = [&](std::uint32_t off, const std::vector<std::uint8_t>& cell) {
            SubkeyList leaf;
            if (const char* fault = DecodeSubkeyList(cell, leaf)) Fail(off, fault);
            if (leaf.index) Fail(off, "an index (\"ri\") inside an index");
            for (std::uint32_t i = 0; i < leaf.count; ++i) each(leaf.At(cell, i), off);
        };
        if (!decoded.index) return leafKeys(listOff, top);
        for (std::uint32_t i = 0; i < decoded.count; ++i) {
            const std::uint32_t leafOff = decoded.At(top, i);
            leafKeys(leafOff, Cell(leafOff, listOff, "subkey list"));
        }
    }

    // The key node among `key`'s subkeys whose upper-cased name is `upper`, or kNowhere. The hashes
    // of lh lists spare reading the nodes that cannot match; a hash that does not match its key's
    // name (the whole reader never looks at them) is passed over only when every hash is tried.
    std::uint32_t Subkey(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, const std::u16string& upper) {
        if (count == 0) return kNowhere;
        for (const bool trustHashes : {true, false})
            if (const std::uint32_t found = Search(key, listOff, upper, trustHashes); found != kNowhere) return found;
        return kNowhere;
    }

    std::uint32_t Search(std::uint32_t key, std::uint32_t listOff, const std::u16string& upper, bool trustHashes) {
        const auto top = Cell(listOff, key, "subkey list");
        SubkeyList decoded;
        if (const char* fault = DecodeSubkeyList(top, decoded)) Fail(listOff, fault);
        if (decoded.index) {
            for (std::uint32_t i = 0; i < decoded.count; ++i) {
                const std::uint32_t leafOff = decoded.At(top, i);
                if (const std::uint32_t found =
                        InLeaf(leafOff, Cell(leafOff, listOff, "subkey list"), upper, trustHashes);
                    found != kNowhere)
                    return found;
            }
            return kNowhere;
        }
        return InLeaf(listOff, top, upper, trustHashes);
    }

    std::uint32_t InLeaf(std::uint32_t off, const std::vector<std::uint8_t>& cell, const std::u16string& upper,
                         bool trustHashes) {
        SubkeyList leaf;
        if (const char* fault = DecodeSubkeyList(cell, leaf)) Fail(off, fault);
        if (leaf.index) Fail(off, "an index (\"ri\") inside an index");
        const bool lh = leaf.hashes && trustHashes;
        const std::uint32_t hash = NameHash(upper);
        for (std::uint32_t i = 0; i < leaf.count; ++i) {
            if (lh && leaf.HashAt(cell, i) != hash) continue;
            const std::uint32_t keyOff = leaf.At(cell, i);
            if (Upper(KeyName(KeyNode(keyOff, off), keyOff)) == upper) return keyOff;
        }
        return kNowhere;
    }

    const std::string& name_;
    const PageReader& read_;
    std::uint32_t binsSize_, minor_;
    Visitor& visitor_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> pages_;
};

}  // namespace

bool NeedsLogs(std::span<const std::uint8_t> baseBlock) {
    return !Clean(baseBlock);
}

ReadReport ReadHiveKeys(const std::string& name, std::uint64_t size, const PageReader& read,
                        std::span<const NamedBytes> logs, std::span<const std::vector<std::u16string>> paths,
                        Visitor& visitor) {
    const Wanted wanted = TreeOf(paths);
    std::vector<std::uint8_t> block(kBaseBlockSize);
    if (size < kBaseBlockSize) {
        block.resize(std::size_t(size));
        read(0, block.data(), block.size());
        throw HiveError(name + ": " + ShortFileFault(block));
    }
    read(0, block.data(), block.size());
    const bool regf = LooksLikeHive(block);
    const std::uint32_t binsSize = Get32(&block[base::kBinsSize]), minor = Get32(&block[base::kMinor]);
    // A clean hive whose base block the whole reader would take is read on demand; anything else is
    // read whole, so that replay, warnings and refusals are the whole reader's.
    if (regf && Clean(block) && Get32(&block[base::kMajor]) == base::kMajorVersion && minor >= base::kMinMinor &&
        minor <= base::kMaxMinor && Get32(&block[base::kType]) == base::kTypePrimary &&
        Get32(&block[base::kFormat]) == base::kFileFormat && binsSize % kPageSize == 0 && binsSize != 0 &&
        kBaseBlockSize + std::uint64_t(binsSize) <= size) {
        OnDemand(name, read, binsSize, minor, visitor).Key(Get32(&block[base::kRoot]), kNowhere, wanted);
        return {};
    }
    if (size > kMaxFileSize) throw HiveError(name + ": larger than any hive");
    std::vector<std::uint8_t> whole(size);
    read(0, whole.data(), whole.size());
    Filter filter(wanted, visitor);
    return ReadHive({name, whole}, logs, filter);
}

}  // namespace hive
