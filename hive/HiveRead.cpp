// Reading a hive: the base block, log replay on a dirty hive, then a walk of the key tree.
#include "Hive.h"
#include "HiveFormat.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hive {

using namespace format;

namespace format {

std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
    std::uint32_t lo = std::uint32_t(seed), hi = std::uint32_t(seed >> 32);
    auto mix = [&] {
        hi ^= lo;
        lo = std::rotl(lo, 20);
        lo += hi;
        hi = std::rotl(hi, 9);
        hi ^= lo;
        lo = std::rotl(lo, 27);
        lo += hi;
        hi = std::rotl(hi, 19);
    };
    std::size_t i = 0;
    for (; i + 4 <= bytes.size(); i += 4) {
        lo += Get32(bytes.data() + i);
        mix();
    }
    std::uint32_t last = 0x80u << 8 * (bytes.size() - i);
    for (std::size_t k = 0; i + k < bytes.size(); ++k) last |= std::uint32_t(bytes[i + k]) << 8 * k;
    lo += last;
    mix();
    mix();
    return std::uint64_t(hi) << 32 | lo;
}

}  // namespace format

namespace {

std::string Hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

bool HasSig(std::span<const std::uint8_t> bytes, std::size_t at, const char* sig) {
    const std::size_t n = std::strlen(sig);
    return at + n <= bytes.size() && std::memcmp(bytes.data() + at, sig, n) == 0;
}

// What the reader takes from a base block.
struct BaseFields {
    std::uint32_t root = 0;
    std::uint32_t binsSize = 0;
    std::uint32_t minor = 0;
};

// ---------------------------------------------------------------------------------------------
// The walk of the key tree over a hive image whose base block has been checked.

class Walker {
public:
    Walker(const std::string& name, std::span<const std::uint8_t> image, const BaseFields& base, Visitor& visitor)
        : name_(name), bins_(image.subspan(kBaseBlockSize, base.binsSize)), minor_(base.minor), visitor_(visitor) {}

    void Run(std::uint32_t root) {
        MapBins();
        seen_.assign((bins_.size() / 8 + 63) / 64, 0);
        Key(root, kNowhere, 0);
    }

private:
    [[noreturn]] void Fail(std::uint32_t binsOffset, const std::string& what) const {
        throw HiveError(name_ + ": at offset " + Hex(std::uint64_t(binsOffset) + kBaseBlockSize) + ": " + what);
    }

    void MapBins() {
        binOfPage_.assign(bins_.size() / 4096, 0);
        for (std::size_t off = 0; off < bins_.size();) {
            if (!HasSig(bins_, off, "hbin")) Fail(std::uint32_t(off), "a hive bin without its \"hbin\" signature");
            const std::uint32_t self = Get32(&bins_[off + 4]), size = Get32(&bins_[off + 8]);
            if (self != off) Fail(std::uint32_t(off), "a hive bin that gives its offset as " + Hex(self));
            if (size < 4096 || size % 4096 != 0 || size > bins_.size() - off)
                Fail(std::uint32_t(off), "a hive bin of size " + Hex(size));
            std::fill(binOfPage_.begin() + off / 4096, binOfPage_.begin() + (off + size) / 4096, std::uint32_t(off));
            off += size;
        }
    }

    // The data of the cell at `off`, which the record at `from` points to as its `what`.
    std::span<const std::uint8_t> Cell(std::uint32_t off, std::uint32_t from, const char* what) const {
        if (off == kNowhere || off >= bins_.size() || off % 8 != 0)
            Fail(from, std::string("the ") + what + " points outside the hive bins (" + Hex(off) + ")");
        const std::uint32_t bin = binOfPage_[off / 4096];
        const std::uint32_t binEnd = bin + Get32(&bins_[bin + 8]);
        if (off < bin + kBinHeaderSize || off + 4 > binEnd)
            Fail(from, std::string("the ") + what + " points outside the cells of its bin (" + Hex(off) + ")");
        const std::int64_t size = std::int32_t(Get32(&bins_[off]));
        if (size >= 0) Fail(off, std::string("the ") + what + " is a free cell");
        if (-size < 4 || std::uint64_t(off) + std::uint64_t(-size) > binEnd)
            Fail(off, std::string("the ") + what + " is a cell of size " + Hex(std::uint64_t(-size)) +
                          ", past the end of its bin");
        return bins_.subspan(off + 4, std::size_t(-size) - 4);
    }

    // Each record belongs to one place in the tree: a second reference is a loop or a cross-link.
    std::span<const std::uint8_t> Claim(std::uint32_t off, std::uint32_t from, const char* what) {
        auto cell = Cell(off, from, what);
        std::uint64_t& word = seen_[off / 8 / 64];
        const std::uint64_t bit = std::uint64_t(1) << (off / 8 % 64);
        if (word & bit) Fail(off, std::string("the ") + what + " is reached a second time (a loop in the key tree)");
        word |= bit;
        return cell;
    }

    // UTF-16LE or Latin-1 bytes into UTF-16 units.
    void Text(std::u16string& out, const std::uint8_t* p, std::size_t bytes, bool latin1) {
        if (latin1) {
            out.resize(bytes);
            for (std::size_t i = 0; i < bytes; ++i) out[i] = p[i];
        } else {
            out.resize(bytes / 2);
            for (std::size_t i = 0; i < bytes / 2; ++i) out[i] = char16_t(Get16(p + 2 * i));
        }
    }

    void Key(std::uint32_t off, std::uint32_t from, int depth) {
        if (depth >= kMaxDepth) Fail(off, "keys nested deeper than " + std::to_string(kMaxDepth) + " levels");
        auto nk = Claim(off, from, "key node");
        if (nk.size() < 76 || !HasSig(nk, 0, "nk")) Fail(off, "not a key node (\"nk\")");
        const std::uint16_t flags = Get16(&nk[2]);
        const std::size_t nameBytes = Get16(&nk[72]), classBytes = Get16(&nk[74]);
        if (76 + nameBytes > nk.size()) Fail(off, "a key name longer than its cell");
        const bool latin1 = flags & 0x20;
        if (!latin1 && nameBytes % 2) Fail(off, "a UTF-16 key name of an odd number of bytes");
        Text(name_buf_, &nk[76], nameBytes, latin1);
        class_buf_.clear();
        if (classBytes > 0) {
            auto cls = Claim(Get32(&nk[48]), off, "class name");
            if (classBytes > cls.size()) Fail(off, "a class name longer than its cell");
            if (classBytes % 2) Fail(off, "a class name of an odd number of bytes");
            Text(class_buf_, cls.data(), classBytes, false);
        }
        visitor_.BeginKey(name_buf_, class_buf_, Get64(&nk[4]));
        Values(off, Get32(&nk[36]), Get32(&nk[40]));
        Subkeys(off, Get32(&nk[20]), Get32(&nk[28]), depth);
        visitor_.EndKey();
    }

    void Values(std::uint32_t key, std::uint32_t count, std::uint32_t listOff) {
        if (count == 0) return;
        auto list = Claim(listOff, key, "value list");
        if (std::uint64_t(count) * 4 > list.size()) Fail(listOff, std::to_string(count) + " values in a list cell too small for them");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t off = Get32(&list[4 * i]);
            auto vk = Claim(off, listOff, "value");
            if (vk.size() < 20 || !HasSig(vk, 0, "vk")) Fail(off, "not a value (\"vk\")");
            const std::size_t nameBytes = Get16(&vk[2]);
            const bool latin1 = Get16(&vk[16]) & 1;
            if (20 + nameBytes > vk.size()) Fail(off, "a value name longer than its cell");
            if (!latin1 && nameBytes % 2) Fail(off, "a UTF-16 value name of an odd number of bytes");
            Text(value_buf_, &vk[20], nameBytes, latin1);
            visitor_.Value(value_buf_, Get32(&vk[12]), Data(off, vk));
        }
    }

    std::span<const std::uint8_t> Data(std::uint32_t vkOff, std::span<const std::uint8_t> vk) {
        const std::uint32_t size = Get32(&vk[4]);
        if (size & 0x80000000) {
            const std::uint32_t n = size & 0x7FFFFFFF;
            if (n > 4) Fail(vkOff, "data of " + std::to_string(n) + " bytes said to sit in the value itself");
            return vk.subspan(8, n);
        }
        if (size == 0) return {};
        const std::uint32_t dataOff = Get32(&vk[8]);
        auto cell = Claim(dataOff, vkOff, "value's data");
        if (size > kBigDataSegment && minor_ >= 4 && HasSig(cell, 0, "db")) return BigData(dataOff, cell, size);
        if (size > cell.size()) Fail(vkOff, "data of " + std::to_string(size) + " bytes in a cell of " + std::to_string(cell.size()));
        return cell.first(size);
    }

    std::span<const std::uint8_t> BigData(std::uint32_t dbOff, std::span<const std::uint8_t> db, std::uint32_t size) {
        if (db.size() < 8) Fail(dbOff, "a big-data record (\"db\") too short");
        const std::uint32_t count = Get16(&db[2]), listOff = Get32(&db[4]);
        if (count != (std::uint64_t(size) + kBigDataSegment - 1) / kBigDataSegment)
            Fail(dbOff, std::to_string(count) + " big-data segments for " + std::to_string(size) + " bytes");
        auto list = Claim(listOff, dbOff, "big-data segment list");
        if (std::size_t(count) * 4 > list.size()) Fail(listOff, "a big-data segment list shorter than its count");
        big_.clear();
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t segOff = Get32(&list[4 * i]);
            auto seg = Claim(segOff, listOff, "big-data segment");
            const std::size_t take = std::min<std::size_t>(kBigDataSegment, size - big_.size());
            if (seg.size() < take) Fail(segOff, "a big-data segment shorter than its data");
            big_.insert(big_.end(), seg.begin(), seg.begin() + take);
        }
        return big_;
    }

    // A subkey list's elements: offsets of key nodes (li) or offsets and hints (lf, lh).
    struct Leaf {
        std::span<const std::uint8_t> cell;
        std::uint32_t count, stride;
    };

    Leaf LeafAt(std::uint32_t off, std::uint32_t from, bool insideRi) {
        auto cell = Claim(off, from, "subkey list");
        if (cell.size() < 4) Fail(off, "a subkey list too short");
        std::uint32_t stride;
        if (HasSig(cell, 0, "li")) stride = 4;
        else if (HasSig(cell, 0, "lf") || HasSig(cell, 0, "lh")) stride = 8;
        else if (HasSig(cell, 0, "ri")) Fail(off, insideRi ? "an index (\"ri\") inside an index" : "unexpected index");
        else Fail(off, "not a subkey list (\"li\", \"lf\", \"lh\" or \"ri\")");
        const std::uint32_t count = Get16(&cell[2]);
        if (4 + std::uint64_t(count) * stride > cell.size()) Fail(off, "a subkey list shorter than its count");
        return {cell, count, stride};
    }

    void Subkeys(std::uint32_t key, std::uint32_t count, std::uint32_t listOff, int depth) {
        if (count == 0) return;
        // The lists are checked whole first, so a wrong count is refused before any subkey is read.
        std::vector<Leaf> leaves;
        auto top = Cell(listOff, key, "subkey list");
        if (HasSig(top, 0, "ri")) {
            Claim(listOff, key, "subkey list");
            const std::uint32_t n = Get16(&top[2]);
            if (4 + std::uint64_t(n) * 4 > top.size()) Fail(listOff, "an index (\"ri\") shorter than its count");
            leaves.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i) leaves.push_back(LeafAt(Get32(&top[4 + 4 * i]), listOff, true));
        } else {
            leaves.push_back(LeafAt(listOff, key, false));
        }
        std::uint64_t total = 0;
        for (const auto& leaf : leaves) total += leaf.count;
        if (total != count)
            Fail(key, "a key node with " + std::to_string(count) + " subkeys whose lists hold " + std::to_string(total));
        for (const auto& leaf : leaves)
            for (std::uint32_t i = 0; i < leaf.count; ++i)
                Key(Get32(&leaf.cell[4 + i * leaf.stride]), std::uint32_t(leaf.cell.data() - bins_.data() - 4), depth + 1);
    }

    const std::string& name_;
    std::span<const std::uint8_t> bins_;
    std::uint32_t minor_;
    Visitor& visitor_;
    std::vector<std::uint32_t> binOfPage_;
    std::vector<std::uint64_t> seen_;
    std::u16string name_buf_, class_buf_, value_buf_;
    std::vector<std::uint8_t> big_;
};

// ---------------------------------------------------------------------------------------------
// Base blocks and log replay.

struct Base {
    bool checksumOk = false;
    std::uint32_t seq1 = 0, seq2 = 0, type = 0, format = 0, major = 0;
    std::uint64_t written = 0;
    BaseFields fields;
};

Base ReadBase(const std::uint8_t* p) {
    Base b;
    b.checksumOk = Get32(p + 508) == BaseBlockChecksum(p);
    b.seq1 = Get32(p + 4);
    b.seq2 = Get32(p + 8);
    b.written = Get64(p + 12);
    b.major = Get32(p + 20);
    b.fields.minor = Get32(p + 24);
    b.type = Get32(p + 28);
    b.format = Get32(p + 32);
    b.fields.root = Get32(p + 36);
    b.fields.binsSize = Get32(p + 40);
    return b;
}

// Fields a reader can trust: a version it knows, bins in whole pages.
std::string BaseFault(const Base& b) {
    if (b.major != 1 || b.fields.minor < 3 || b.fields.minor > 6)
        return "hive format version " + std::to_string(b.major) + "." + std::to_string(b.fields.minor) + " (1.3 to 1.6 are read)";
    if (b.format != 1) return "a base block of file format " + std::to_string(b.format);
    if (b.fields.binsSize % 4096 != 0) return "hive bins data size " + Hex(b.fields.binsSize) + ", not whole pages";
    return {};
}

// One live entry of a new-format log.
struct LogEntry {
    std::uint32_t seq, binsSize, flags;
    const std::uint8_t* refs;  // bins offset, size; `pages` of them
    std::uint32_t pages;
    const std::uint8_t* data;  // the pages' bytes
};

struct LogRun {
    const NamedBytes* log;
    std::uint32_t start;  // the sequence number its base block gives
    std::vector<LogEntry> entries;  // from `start`, consecutive
    BaseFields fields;
};

// The valid entries of a new-format log, in file order, up to the first that is not.
std::vector<LogEntry> EntriesOf(std::span<const std::uint8_t> log, std::string& why) {
    std::vector<LogEntry> entries;
    std::size_t pos = 512;
    while (pos + 40 <= log.size()) {
        const std::uint8_t* e = log.data() + pos;
        auto stop = [&](const std::string& what) {
            why = "entry at offset " + Hex(pos) + ": " + what;
        };
        if (std::memcmp(e, "HvLE", 4) != 0) break;  // the end of the entries written
        const std::uint32_t size = Get32(e + 4);
        if (size < 512 || size % 512 != 0 || size > log.size() - pos) { stop("size " + Hex(size)); break; }
        const std::uint32_t binsSize = Get32(e + 16), pages = Get32(e + 20);
        if (binsSize == 0 || binsSize % 4096 != 0) { stop("hive bins data size " + Hex(binsSize)); break; }
        if (40 + std::uint64_t(pages) * 8 > size) { stop("more pages than the entry holds"); break; }
        if (Marvin32({e + 40, size - 40u}) != Get64(e + 24) || Marvin32({e, 32}) != Get64(e + 32)) {
            stop("wrong hash");
            break;
        }
        std::uint64_t bytes = 40 + std::uint64_t(pages) * 8;
        bool pagesOk = true;
        for (std::uint32_t i = 0; i < pages && pagesOk; ++i) {
            const std::uint32_t off = Get32(e + 40 + 8 * i), len = Get32(e + 44 + 8 * i);
            pagesOk = off % 512 == 0 && len % 512 == 0 && std::uint64_t(off) + len <= binsSize;
            bytes += len;
        }
        if (!pagesOk || bytes > size) { stop("pages outside the hive bins or the entry"); break; }
        entries.push_back({Get32(e + 12), binsSize, Get32(e + 8), e + 40, pages, e + 40 + 8 * pages});
        pos += size;
    }
    return entries;
}

class Replay {
public:
    Replay(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs, std::size_t cap)
        : primary_(primary), owned_(owned), logs_(logs), cap_(cap) {}

    // Replays what applies; returns the base fields of the result, or nothing when no log did.
    std::optional<BaseFields> Run(const Base& base, std::vector<std::string>& applied, std::vector<std::string>& notes) {
        std::vector<LogRun> runs;
        // By name, so that the result never depends on the order the logs were found in.
        std::vector<const NamedBytes*> byName;
        for (const auto& log : logs_) byName.push_back(&log);
        std::stable_sort(byName.begin(), byName.end(), [](auto* a, auto* b) { return a->name < b->name; });
        for (const NamedBytes* logp : byName) {
            const NamedBytes& log = *logp;
            auto note = [&](const std::string& what) { notes.push_back(log.name + ": " + what); };
            if (log.bytes.size() < 512 || !HasSig(log.bytes, 0, "regf")) { note("not a hive log"); continue; }
            const Base lb = ReadBase(log.bytes.data());
            if (!lb.checksumOk) { note("its base block's checksum is wrong"); continue; }
            if (std::string fault = BaseFault(lb); !fault.empty()) { note(fault); continue; }
            if (lb.type == 6) {
                if (base.checksumOk && lb.seq1 < base.seq2) { note("older than the hive"); continue; }
                std::string why;
                auto all = EntriesOf(log.bytes, why);
                LogRun run{&log, lb.seq1, {}, lb.fields};
                auto first = std::find_if(all.begin(), all.end(), [&](const LogEntry& e) { return e.seq == lb.seq1; });
                for (auto it = first; it != all.end() && it->seq == lb.seq1 + run.entries.size(); ++it)
                    run.entries.push_back(*it);
                if (run.entries.empty()) { note(why.empty() ? "no entry to replay" : why); continue; }
                runs.push_back(std::move(run));
            } else if (lb.type == 1) {
                if (lb.seq1 != lb.seq2) { note("a log that was not written through"); continue; }
                if (base.checksumOk && lb.written != base.written) { note("written at another time than the hive"); continue; }
                if (!runs.empty() || old_) continue;
                old_ = &log;
                oldFields_ = lb.fields;
            } else {
                note("file type " + std::to_string(lb.type) + ", not a log");
            }
        }
        if (!runs.empty()) return ReplayNew(base, runs, applied, notes);
        if (old_) return ReplayOld(applied, notes);
        return std::nullopt;
    }

private:
    std::vector<std::uint8_t>& Image() {
        if (owned_ == nullptr) {
            copy_.reserve(cap_);
            copy_.assign(primary_.bytes.begin(), primary_.bytes.end());
            owned_ = &copy_;
        }
        return *owned_;
    }

    bool Grow(std::uint32_t binsSize) {
        if (kBaseBlockSize + std::size_t(binsSize) > cap_) return false;
        auto& image = Image();
        if (image.size() < kBaseBlockSize + binsSize) image.resize(kBaseBlockSize + binsSize);
        return true;
    }

    std::optional<BaseFields> ReplayNew(const Base& base, std::vector<LogRun>& runs, std::vector<std::string>& applied,
                                        std::vector<std::string>& notes) {
        std::stable_sort(runs.begin(), runs.end(), [](const LogRun& a, const LogRun& b) { return a.start < b.start; });
        BaseFields fields = base.checksumOk ? base.fields : runs.front().fields;
        std::optional<std::uint32_t> last;
        for (const auto& run : runs) {
            std::size_t i = 0;
            if (last) {
                while (i < run.entries.size() && run.entries[i].seq != *last + 1) ++i;
                if (i == run.entries.size()) {
                    if (run.entries.back().seq > *last) notes.push_back(run.log->name + ": does not continue the log before it");
                    continue;
                }
            }
            bool any = false;
            for (; i < run.entries.size(); ++i) {
                const LogEntry& e = run.entries[i];
                if (!Grow(e.binsSize)) {
                    notes.push_back(run.log->name + ": an entry grows the hive past what its files hold");
                    break;
                }
                auto& image = Image();
                const std::uint8_t* src = e.data;
                for (std::uint32_t p = 0; p < e.pages; ++p) {
                    const std::uint32_t off = Get32(e.refs + 8 * p), len = Get32(e.refs + 8 * p + 4);
                    if (SaneBinStart(off, src, len)) std::memcpy(image.data() + kBaseBlockSize + off, src, len);
                    src += len;
                }
                fields.binsSize = e.binsSize;
                last = e.seq;
                any = true;
            }
            if (any) applied.push_back(run.log->name);
        }
        if (!last) return std::nullopt;
        return fields;
    }

    // A page range that starts with a bin header must be one that belongs where it goes.
    static bool SaneBinStart(std::uint32_t off, const std::uint8_t* src, std::uint32_t len) {
        if (len < 12 || off % 4096 != 0 || std::memcmp(src, "hbin", 4) != 0) return true;
        const std::uint32_t size = Get32(src + 8);
        return Get32(src + 4) == off && size >= 4096 && size % 4096 == 0;
    }

    std::optional<BaseFields> ReplayOld(std::vector<std::string>& applied, std::vector<std::string>& notes) {
        const auto bytes = old_->bytes;
        const std::size_t mapBytes = oldFields_.binsSize / 4096;
        if (!HasSig(bytes, 512, "DIRT") || 516 + mapBytes > bytes.size()) {
            notes.push_back(old_->name + ": no dirty page map (\"DIRT\")");
            return std::nullopt;
        }
        const std::uint8_t* map = bytes.data() + 516;
        std::size_t pages = 0;
        for (std::size_t j = 0; j < mapBytes; ++j) pages += std::popcount(map[j]);
        const std::size_t dataStart = (516 + mapBytes + 511) / 512 * 512;
        if (dataStart + pages * 512 > bytes.size()) {
            notes.push_back(old_->name + ": fewer dirty pages than its map names");
            return std::nullopt;
        }
        if (!Grow(oldFields_.binsSize)) {
            notes.push_back(old_->name + ": grows the hive past what its files hold");
            return std::nullopt;
        }
        auto& image = Image();
        const std::uint8_t* src = bytes.data() + dataStart;
        for (std::size_t page = 0; page < mapBytes * 8; ++page) {
            if (!(map[page / 8] >> page % 8 & 1)) continue;
            std::memcpy(image.data() + kBaseBlockSize + 512 * page, src, 512);
            src += 512;
        }
        applied.push_back(old_->name);
        return oldFields_;
    }

    const NamedBytes& primary_;
    std::vector<std::uint8_t>* owned_;
    std::span<const NamedBytes> logs_;
    std::size_t cap_;
    std::vector<std::uint8_t> copy_;
    const NamedBytes* old_ = nullptr;
    BaseFields oldFields_;

public:
    std::span<const std::uint8_t> Result() const { return owned_ ? std::span<const std::uint8_t>(*owned_) : primary_.bytes; }
};

std::string Join(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
    return out;
}

ReadReport Read(const NamedBytes& primary, std::vector<std::uint8_t>* owned, std::span<const NamedBytes> logs,
                const std::vector<std::string>& lookedFor, Visitor& visitor) {
    const std::string& name = primary.name;
    if (primary.bytes.size() < kBaseBlockSize || !HasSig(primary.bytes, 0, "regf"))
        throw HiveError(name + ": not a registry hive (no \"regf\" base block at offset 0x0)");
    const Base base = ReadBase(primary.bytes.data());
    if (base.checksumOk) {
        if (std::string fault = BaseFault(base); !fault.empty()) throw HiveError(name + ": at offset 0x0: " + fault);
        if (base.type != 0)
            throw HiveError(name + ": at offset 0x0: file type " + std::to_string(base.type) +
                            (base.type == 1 || base.type == 6 ? ", a transaction log, not a hive" : ", not a hive"));
    }
    ReadReport report;
    BaseFields fields = base.fields;
    std::span<const std::uint8_t> image = primary.bytes;
    std::optional<Replay> replay;
    if (!base.checksumOk || base.seq1 != base.seq2) {
        std::size_t cap = primary.bytes.size();
        for (const auto& log : logs) cap += log.bytes.size();
        replay.emplace(primary, owned, logs, cap);
        std::vector<std::string> notes;
        auto replayed = replay->Run(base, report.logsApplied, notes);
        if (replayed) {
            fields = *replayed;
            image = replay->Result();
        } else if (!base.checksumOk) {
            throw HiveError(name + ": at offset 0x1FC: the base block's checksum is wrong and no log can restore it (looked for " +
                            Join(lookedFor, ", ") + (notes.empty() ? "" : "; " + Join(notes, "; ")) + ")");
        } else {
            report.warnings.push_back(name + " is dirty (sequence numbers " + std::to_string(base.seq1) + " and " +
                                      std::to_string(base.seq2) + ") and no log could be replayed (looked for " +
                                      Join(lookedFor, ", ") + (notes.empty() ? "" : "; " + Join(notes, "; ")) +
                                      "): read as the primary file holds it, which may miss its latest changes");
        }
    }
    if (std::uint64_t(kBaseBlockSize) + fields.binsSize > image.size())
        throw HiveError(name + ": at offset 0x28: hive bins data of " + Hex(fields.binsSize) + " bytes in a file of " +
                        Hex(image.size()));
    if (fields.binsSize == 0) throw HiveError(name + ": at offset 0x28: no hive bins");
    Walker(name, image, fields, visitor).Run(fields.root);
    return report;
}

// The file's bytes, at most `limit` of them, in a buffer with room for `room` more.
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path, std::size_t room = 0,
                                   std::uint64_t limit = std::uint64_t(-1)) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw HiveError(path.string() + ": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    std::uint8_t buf[1 << 16];
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) bytes.reserve(std::min<std::uint64_t>(size, limit) + room);
    // No hive is larger than its base block and 4 GiB of bins: a device or pipe that goes on stops here.
    constexpr std::uint64_t kLargest = kBaseBlockSize + 0x100000000ull;
    for (std::size_t n; bytes.size() <= kLargest && bytes.size() < limit &&
                        (n = std::fread(buf, 1, std::min<std::uint64_t>(sizeof buf, limit - bytes.size()), f)) > 0;)
        bytes.insert(bytes.end(), buf, buf + n);
    const bool failed = std::ferror(f);
    std::fclose(f);
    if (bytes.size() > kLargest) throw HiveError(path.string() + ": larger than any hive");
    if (failed) throw HiveError(path.string() + ": cannot be read");
    return bytes;
}

// A clean hive's file mapped instead of copied: the walk reads it once, and a copy would cost its
// size again in memory and the time to fault that in. Empty when the file is no regular file of a
// hive's size, or the system has no mmap: the caller reads it then, and says what is wrong.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path) {
#ifndef _WIN32
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        constexpr std::uint64_t kLargest = kBaseBlockSize + 0x100000000ull;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && std::uint64_t(st.st_size) >= kBaseBlockSize &&
            std::uint64_t(st.st_size) <= kLargest) {
            void* at = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (at != MAP_FAILED) bytes_ = {static_cast<const std::uint8_t*>(at), std::size_t(st.st_size)};
        }
        ::close(fd);
#else
        (void)path;
#endif
    }
    ~MappedFile() {
#ifndef _WIN32
        if (!bytes_.empty()) ::munmap(const_cast<std::uint8_t*>(bytes_.data()), bytes_.size());
#endif
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const std::uint8_t> Bytes() const { return bytes_; }

private:
    std::span<const std::uint8_t> bytes_;
};

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto low = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return low(x) == low(y);
           });
}

std::vector<std::string> LogNames(const std::string& primary) {
    return {primary + ".LOG1", primary + ".LOG2", primary + ".LOG"};
}

}  // namespace

ReadReport ReadHive(const NamedBytes& primary, std::span<const NamedBytes> logs, Visitor& visitor) {
    std::vector<std::string> names;
    for (const auto& log : logs) names.push_back(log.name);
    std::sort(names.begin(), names.end());
    if (names.empty()) names = LogNames(primary.name);
    return Read(primary, nullptr, logs, names, visitor);
}

ReadReport ReadHiveFile(const std::string& path, Visitor& visitor) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    const std::string base = p.filename().string();
    std::vector<std::vector<std::uint8_t>> logBytes;
    std::vector<std::string> logNames;
    // The logs matter only to a dirty hive; reading them otherwise would cost their size for nothing.
    const std::vector<std::uint8_t> head = ReadFile(p, 0, 512);
    const bool dirty = head.size() == 512 && (Get32(&head[4]) != Get32(&head[8]) ||
                                               Get32(&head[508]) != BaseBlockChecksum(head.data()));
    std::size_t room = 0;
    if (dirty) {
        std::error_code ec;
        const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
        std::vector<fs::path> entries;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            entries.push_back(it->path());
        std::sort(entries.begin(), entries.end());
        for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
            const std::string wanted = base + suffix;
            std::optional<fs::path> found;
            for (const auto& e : entries) {
                const std::string n = e.filename().string();
                if (n == wanted) { found = e; break; }
                if (!found && SameIgnoringAsciiCase(n, wanted)) found = e;
            }
            if (!found) continue;
            try {
                logBytes.push_back(ReadFile(*found));
                logNames.push_back(found->string());
                room += logBytes.back().size();
            } catch (const HiveError&) {
                // An unreadable log is one not found; the warning names what was looked for.
            }
        }
    }
    if (!dirty) {
        const MappedFile mapped(p);
        if (!mapped.Bytes().empty()) return Read({path, mapped.Bytes()}, nullptr, {}, LogNames(path), visitor);
    }
    // Room for all that replay may add (no more than the logs hold), so the bytes are never moved.
    std::vector<std::uint8_t> bytes = ReadFile(p, room);
    std::vector<NamedBytes> logs;
    for (std::size_t i = 0; i < logBytes.size(); ++i) logs.push_back({logNames[i], logBytes[i]});
    return Read({path, bytes}, &bytes, logs, LogNames(path), visitor);
}

}  // namespace hive
