// A few keys of a hive read on demand: the base block, then only the cells on the way to each key
// asked for and that key's values, in 4 KiB pages read once each. The checks are those of the whole
// reader for every cell read, less the ones that need the whole file (each bin's bounds, each cell
// reached once): a cell must lie inside the bins, be in use and fit them.
#include "Hive.h"
#include "HiveFormat.h"

#include <cstring>
#include <map>
#include <memory>

namespace hive {
namespace {

using namespace format;

constexpr std::uint32_t kPage = 4096;
constexpr std::uint64_t kRootField = 0x24;  // the base block's offset of the root key's cell

std::string Hex(std::uint64_t v) {
    char s[24];
    std::snprintf(s, sizeof s, "0x%llX", static_cast<unsigned long long>(v));
    return s;
}

bool Clean(std::span<const std::uint8_t> base) {
    return base.size() >= kBaseBlockSize && Get32(&base[4]) == Get32(&base[8]) && Get32(&base[508]) == BaseBlockChecksum(base.data());
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) c = Upcase(c);
    return out;
}

std::uint32_t NameHash(std::u16string_view upper) {
    std::uint32_t h = 0;
    for (const char16_t c : upper) h = 37 * h + c;
    return h;
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
    const Wanted* Find(std::u16string_view name) const {
        const std::u16string u = Upper(name);
        for (const auto& c : children)
            if (c->upper == u) return c.get();
        return nullptr;
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
    OnDemand(const std::string& name, const PageReader& read, std::uint32_t binsSize, std::uint32_t minor, Visitor& visitor)
        : name_(name), read_(read), binsSize_(binsSize), minor_(minor), visitor_(visitor) {}

    void Key(std::uint32_t off, std::uint32_t from, const Wanted& wanted) {
        const auto nk = Cell(off, from, "key node");
        if (nk.size() < 76 || !Sig(nk, "nk")) Fail(off, "not a key node (\"nk\")");
        const std::u16string name = Name(nk, 76, Get16(&nk[72]), Get16(&nk[2]) & 0x20, off, "key name");
        std::u16string className;
        if (const std::size_t classBytes = Get16(&nk[74]); classBytes > 0) {
            const auto cls = Cell(Get32(&nk[48]), off, "class name");
            if (classBytes > cls.size() || classBytes % 2) Fail(off, "a class name that does not fit its cell");
            className = Name(cls, 0, classBytes, false, off, "class name");
        }
        visitor_.BeginKey(name, className, Get64(&nk[4]));
        if (wanted.values) Values(off, Get32(&nk[36]), Get32(&nk[40]));
        for (const auto& child : wanted.children)
            if (const std::uint32_t sub = Subkey(off, Get32(&nk[20]), Get32(&nk[28]), child->upper); sub != kNowhere)
                Key(sub, off, *child);
        visitor_.EndKey();
    }

private:
    // `binsOffset` kNowhere: the base block's pointer to the root key.
    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        throw HiveError(name_ + ": at offset " + Hex(binsOffset == kNowhere ? kRootField : std::uint64_t(binsOffset) + kBaseBlockSize) +
                        ": " + what);
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
        if (off == kNowhere || off % 8 != 0 || off < kBinHeaderSize || std::uint64_t(off) + 4 > binsSize_)
            Fail(from, std::string("the ") + what + " points outside the hive bins (" + Hex(off) + ")");
        std::uint8_t head[4];
        Bytes(off, 4, head);
        const std::int64_t size = std::int32_t(Get32(head));
        if (size >= 0) Fail(off, std::string("the ") + what + " is a free cell");
        if (-size < 4 || std::uint64_t(off) + std::uint64_t(-size) > binsSize_)
            Fail(off, std::string("the ") + what + " is a cell of size " + Hex(std::uint64_t(-size)) + ", past the hive bins");
        std::vector<std::uint8_t> cell(std::size_t(-size) - 4);
        Bytes(off + 4, std::uint32_t(cell.size()), cell.data());
        return cell;
    }

    std::u16string Name(const std::vector<std::uint8_t>& cell, std::size_t at, std::size_t bytes, bool latin1,
                        std::uint32_t off, const char* what) {
        if (at + bytes > cell.size()) Fail(off, std::string("a ") + what + " longer than its cell");
        if (!latin1 && bytes % 2) Fail(off, std::string("a UTF-16 ") + what + " of an odd number of bytes");
        std::u16string out(latin1 ? bytes : bytes / 2, u'\0');
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = latin1 ? char16_t(cell[at + i]) : char16_t(Get16(&cell[at + 2 * i]));
        return out;
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        const auto list = Cell(listOff, key, "value list");
        if (std::uint64_t(count) * 4 > list.size()) Fail(listOff, std::to_string(count) + " values in a list cell too small for them");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = Get32(&list[4 * i]);
            const auto vk = Cell(off, listOff, "value");
            if (vk.size() < 20 || !Sig(vk, "vk")) Fail(off, "not a value (\"vk\")");
            const std::u16string name = Name(vk, 20, Get16(&vk[2]), Get16(&vk[16]) & 1, off, "value name");
            const std::vector<std::uint8_t> data = Data(off, vk);
            visitor_.Value(name, Get32(&vk[12]), data);
        }
    }

    std::vector<std::uint8_t> Data(std::uint32_t vkOff, const std::vector<std::uint8_t>& vk) {
        const std::uint32_t size = Get32(&vk[4]);
        if (size & 0x80000000) {
            const std::uint32_t n = size & 0x7FFFFFFF;
            if (n > 4) Fail(vkOff, "data of " + std::to_string(n) + " bytes said to sit in the value itself");
            return {vk.begin() + 8, vk.begin() + 8 + n};
        }
        if (size == 0) return {};
        const std::uint32_t dataOff = Get32(&vk[8]);
        auto cell = Cell(dataOff, vkOff, "value's data");
        if (size > kBigDataSegment && minor_ >= 4 && Sig(cell, "db")) return BigData(dataOff, cell, size);
        if (size > cell.size()) Fail(vkOff, "data of " + std::to_string(size) + " bytes in a cell of " + std::to_string(cell.size()));
        cell.resize(size);
        return cell;
    }

    std::vector<std::uint8_t> BigData(std::uint32_t dbOff, const std::vector<std::uint8_t>& db, std::uint32_t size) {
        if (db.size() < 8) Fail(dbOff, "a big-data record (\"db\") too short");
        const std::uint32_t count = Get16(&db[2]), listOff = Get32(&db[4]);
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

    // The key node among `key`'s subkeys whose upper-cased name is `upper`, or kNowhere. The hashes
    // of lh lists spare reading the nodes that cannot match.
    std::uint32_t Subkey(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, const std::u16string& upper) {
        if (count == 0) return kNowhere;
        const auto top = Cell(listOff, key, "subkey list");
        if (top.size() < 4) Fail(listOff, "a subkey list too short");
        if (Sig(top, "ri")) {
            const std::uint32_t n = Get16(&top[2]);
            if (4 + std::uint64_t(n) * 4 > top.size()) Fail(listOff, "an index (\"ri\") shorter than its count");
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint32_t leafOff = Get32(&top[4 + 4 * i]);
                const auto leaf = Cell(leafOff, listOff, "subkey list");
                if (Sig(leaf, "ri")) Fail(leafOff, "an index (\"ri\") inside an index");
                if (const std::uint32_t found = InLeaf(leafOff, leaf, upper); found != kNowhere) return found;
            }
            return kNowhere;
        }
        return InLeaf(listOff, top, upper);
    }

    std::uint32_t InLeaf(std::uint32_t off, const std::vector<std::uint8_t>& cell, const std::u16string& upper) {
        if (cell.size() < 4) Fail(off, "a subkey list too short");
        std::uint32_t stride;
        if (Sig(cell, "li")) stride = 4;
        else if (Sig(cell, "lf") || Sig(cell, "lh")) stride = 8;
        else Fail(off, "not a subkey list (\"li\", \"lf\", \"lh\" or \"ri\")");
        const std::uint32_t count = Get16(&cell[2]);
        if (4 + std::uint64_t(count) * stride > cell.size()) Fail(off, "a subkey list shorter than its count");
        const bool lh = Sig(cell, "lh");
        const std::uint32_t hash = NameHash(upper);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* e = &cell[4 + std::size_t(i) * stride];
            if (lh && Get32(e + 4) != hash) continue;
            const std::uint32_t nkOff = Get32(e);
            const auto nk = Cell(nkOff, off, "key node");
            if (nk.size() < 76 || !Sig(nk, "nk")) Fail(nkOff, "not a key node (\"nk\")");
            if (Upper(Name(nk, 76, Get16(&nk[72]), Get16(&nk[2]) & 0x20, nkOff, "key name")) == upper) return nkOff;
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

bool NeedsLogs(std::span<const std::uint8_t> baseBlock) { return !Clean(baseBlock); }

ReadReport ReadHiveKeys(const std::string& name, std::uint64_t size, const PageReader& read,
                        std::span<const NamedBytes> logs, std::span<const std::vector<std::u16string>> paths,
                        Visitor& visitor) {
    const Wanted wanted = TreeOf(paths);
    std::vector<std::uint8_t> base(kBaseBlockSize);
    if (size < kBaseBlockSize) throw HiveError(name + ": not a registry hive (shorter than its base block)");
    read(0, base.data(), base.size());
    const bool regf = std::memcmp(base.data(), "regf", 4) == 0;
    const std::uint32_t binsSize = Get32(&base[40]), minor = Get32(&base[24]);
    // A clean hive whose base block the whole reader would take is read on demand; anything else is
    // read whole, so that replay, warnings and refusals are the whole reader's.
    if (regf && Clean(base) && Get32(&base[20]) == 1 && minor >= 3 && minor <= 6 && Get32(&base[28]) == 0 &&
        Get32(&base[32]) == 1 && binsSize % kPage == 0 && binsSize != 0 && kBaseBlockSize + std::uint64_t(binsSize) <= size) {
        OnDemand(name, read, binsSize, minor, visitor).Key(Get32(&base[kRootField]), kNowhere, wanted);
        return {};
    }
    if (size > (std::uint64_t(4) << 30)) throw HiveError(name + ": larger than any hive");
    std::vector<std::uint8_t> whole(size);
    read(0, whole.data(), whole.size());
    Filter filter(wanted, visitor);
    return ReadHive({name, whole}, logs, filter);
}

}  // namespace hive
