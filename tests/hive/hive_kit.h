#pragma once
// Hives for tests, seeds and fuzzing: a key tree as data, written with hive::Writer and read back
// as text; transaction logs of both formats built byte by byte from the format's description.
#include "byte_order.h"
#include "hive.h"
#include "hive_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace hivekit {

using Bytes = std::vector<std::uint8_t>;

struct Val {
    std::u16string name;
    std::uint32_t type;
    Bytes data;
};

struct Node {
    std::u16string name;
    std::vector<Val> values = {};
    std::vector<Node> children = {};
    std::u16string cls = {};
    std::uint64_t time = 0;
};

inline Bytes Utf16(std::u16string_view s) {
    Bytes b;
    for (char16_t c : s) b.insert(b.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
    return b;
}

inline Bytes Write(const Node& root) {
    hive::Writer w;
    auto put = [&](auto& self, const Node& n) -> void {
        w.BeginKey(n.name, n.cls, n.time);
        for (const auto& v : n.values) w.Value(v.name, v.type, v.data);
        for (const auto& c : n.children) self(self, c);
        w.EndKey();
    };
    put(put, root);
    return w.Finish();
}

// The tree as text, one line per key and value, subkeys in the order given.
class Dump : public hive::Visitor {
public:
    std::string text;
    int depth = 0, maxDepth = 0;

    static void Name(std::string& out, std::u16string_view s) {
        for (char16_t c : s) {
            if (c >= 0x20 && c < 0x7F && c != '\\') out += char(c);
            else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(c));
                out += buf;
            }
        }
    }
    void BeginKey(std::u16string_view name, std::u16string_view cls, std::uint64_t time) override {
        text += std::string(2 * depth, ' ') + "[";
        Name(text, name);
        text += "]";
        if (!cls.empty()) text += " class=", Name(text, cls);
        if (time) text += " t=" + std::to_string(time);
        text += "\n";
        maxDepth = std::max(maxDepth, ++depth);
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        text += std::string(2 * depth, ' ');
        Name(text, name);
        text += " " + std::to_string(type) + ":";
        char buf[4];
        for (auto b : data) std::snprintf(buf, sizeof buf, "%02x", b), text += buf;
        text += "\n";
    }
    void EndKey() override { --depth; }
};

// The tree a hive holds, as read.
class Collect : public hive::Visitor {
public:
    Node root;
    std::vector<Node*> open;
    std::size_t keys = 0;

    void BeginKey(std::u16string_view name, std::u16string_view cls, std::uint64_t time) override {
        Node n{std::u16string(name), {}, {}, std::u16string(cls), time};
        if (open.empty()) root = std::move(n), open.push_back(&root);
        else open.back()->children.push_back(std::move(n)), open.push_back(&open.back()->children.back());
        ++keys;
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        open.back()->values.push_back({std::u16string(name), type, Bytes(data.begin(), data.end())});
    }
    void EndKey() override { open.pop_back(); }
};

// The text the reader gives for a tree: subkeys in the order a hive lists them.
inline std::string Expect(Node n) {
    auto sort = [](auto& self, Node& k) -> void {
        auto upper = [](std::u16string s) {
            for (auto& c : s) c = hive::format::Upcase(c);
            return s;
        };
        std::sort(k.children.begin(), k.children.end(),
                  [&](const Node& a, const Node& b) { return upper(a.name) < upper(b.name); });
        for (auto& c : k.children) self(self, c);
    };
    sort(sort, n);
    Dump d;
    auto walk = [&](auto& self, const Node& k) -> void {
        d.BeginKey(k.name, k.cls, k.time);
        for (const auto& v : k.values) d.Value(v.name, v.type, v.data);
        for (const auto& c : k.children) self(self, c);
        d.EndKey();
    };
    walk(walk, n);
    return d.text;
}

inline void Checksum(std::uint8_t* base) {
    WriteLe32(base + 508, hive::format::BaseBlockChecksum(base));
}

// A primary file whose last write did not finish: primary sequence `seq1`, secondary `seq2`.
inline Bytes Dirty(Bytes hive, std::uint32_t seq1, std::uint32_t seq2) {
    WriteLe32(&hive[4], seq1);
    WriteLe32(&hive[8], seq2);
    Checksum(hive.data());
    return hive;
}

inline std::uint32_t BinsSize(const Bytes& hive) {
    return ReadLe32(&hive[40]);
}

// The 4096-byte pages of `to`'s bins that differ from `from`'s: {bins offset, bytes}.
struct Page {
    std::uint32_t offset;
    Bytes bytes;
};
inline std::vector<Page> Changes(const Bytes& from, const Bytes& to) {
    std::vector<Page> pages;
    for (std::uint32_t off = 0; off < BinsSize(to); off += 4096) {
        const auto* t = &to[4096 + off];
        const bool same = off + 4096 <= BinsSize(from) && std::equal(t, t + 4096, &from[4096 + off]);
        if (!same) pages.push_back({off, Bytes(t, t + 4096)});
    }
    return pages;
}

// A new-format log entry (HvLE) taking a hive to bins size `binsSize` by writing `pages`.
inline Bytes Entry(std::uint32_t seq, std::uint32_t binsSize, const std::vector<Page>& pages) {
    Bytes e(40);
    std::memcpy(e.data(), "HvLE", 4);
    for (const auto& p : pages) {
        e.resize(e.size() + 8);
        WriteLe32(&e[e.size() - 8], p.offset);
        WriteLe32(&e[e.size() - 4], std::uint32_t(p.bytes.size()));
    }
    for (const auto& p : pages) e.insert(e.end(), p.bytes.begin(), p.bytes.end());
    e.resize((e.size() + 511) / 512 * 512);
    WriteLe32(&e[4], std::uint32_t(e.size()));
    WriteLe32(&e[12], seq);
    WriteLe32(&e[16], binsSize);
    WriteLe32(&e[20], std::uint32_t(pages.size()));
    WriteLe64(&e[24], hive::format::Marvin32({e.data() + 40, e.size() - 40}));
    WriteLe64(&e[32], hive::format::Marvin32({e.data(), 32}));
    return e;
}
inline Bytes Entry(std::uint32_t seq, const Bytes& from, const Bytes& to) {
    return Entry(seq, BinsSize(to), Changes(from, to));
}

// A log's base block: a copy of the hive's first 512 bytes with the log's own numbers.
inline Bytes LogBase(const Bytes& hive, std::uint32_t seq1, std::uint32_t seq2, std::uint32_t type) {
    Bytes b(hive.begin(), hive.begin() + 512);
    WriteLe32(&b[4], seq1);
    WriteLe32(&b[8], seq2);
    WriteLe32(&b[28], type);
    Checksum(b.data());
    return b;
}

// A new-format log whose base block names `seq` as the first entry to replay.
inline Bytes NewLog(const Bytes& hive, std::uint32_t seq, const std::vector<Bytes>& entries) {
    Bytes log = LogBase(hive, seq, seq, 6);
    for (const auto& e : entries) log.insert(log.end(), e.begin(), e.end());
    return log;
}

// An old-format log: the base block of the hive after the change, "DIRT", one bit per 512-byte
// page of its bins, then the set pages.
inline Bytes OldLog(const Bytes& from, const Bytes& to) {
    Bytes log = LogBase(to, ReadLe32(&to[4]), ReadLe32(&to[4]), 1);
    const std::uint32_t pages = BinsSize(to) / 512;
    Bytes map(pages / 8), data;
    for (std::uint32_t p = 0; p < pages; ++p) {
        const std::size_t at = 4096 + 512 * std::size_t(p);
        if (at + 512 <= from.size() && std::equal(&to[at], &to[at] + 512, &from[at])) continue;
        map[p / 8] |= std::uint8_t(1 << p % 8);
        data.insert(data.end(), &to[at], &to[at] + 512);
    }
    log.insert(log.end(), {'D', 'I', 'R', 'T'});
    log.insert(log.end(), map.begin(), map.end());
    log.resize((log.size() + 511) / 512 * 512);
    log.insert(log.end(), data.begin(), data.end());
    return log;
}

// The fuzz targets' input holding a primary and its logs: each but the last after its
// 4-byte length. Unpack takes it apart again (a short length ends the list).
inline Bytes Pack(const std::vector<Bytes>& files) {
    Bytes out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i + 1 < files.size()) {
            out.resize(out.size() + 4);
            WriteLe32(&out[out.size() - 4], std::uint32_t(files[i].size()));
        }
        out.insert(out.end(), files[i].begin(), files[i].end());
    }
    return out;
}

inline std::vector<std::span<const std::uint8_t>> Unpack(std::span<const std::uint8_t> in, std::size_t files) {
    std::vector<std::span<const std::uint8_t>> out;
    while (out.size() + 1 < files && in.size() >= 4) {
        const std::size_t n = std::min<std::size_t>(ReadLe32(in.data()), in.size() - 4);
        out.push_back(in.subspan(4, n));
        in = in.subspan(4 + n);
    }
    out.push_back(in);
    return out;
}

// What hive::ReadHiveKeys gives for `paths`, from the whole reader's walk: the keys on the paths, and
// the values of the keys at their ends, passed on to `out`. Collect both sides and compare them
// written out by Expect: the order of subkeys differs where a hive's list is out of order.
class KeepPaths : public hive::Visitor {
public:
    KeepPaths(const std::vector<std::vector<std::u16string>>& paths, hive::Visitor& out) : out(out), paths_(paths) {}
    hive::Visitor& out;

    void BeginKey(std::u16string_view name, std::u16string_view cls, std::uint64_t t) override {
        if (!kept_.empty()) at_.emplace_back(name);
        const bool keep = (kept_.empty() || kept_.back()) && Where() > 0;
        kept_.push_back(keep);
        if (keep) out.BeginKey(name, cls, t);
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (kept_.back() && Where() == 2) out.Value(name, type, data);
    }
    void EndKey() override {
        if (kept_.back()) out.EndKey();
        kept_.pop_back();
        if (!at_.empty()) at_.pop_back();
    }

private:
    static std::u16string Up(std::u16string s) {
        for (auto& c : s) c = hive::format::Upcase(c);
        return s;
    }
    // 0: not on a path; 1: on the way; 2: at a path's end.
    int Where() const {
        int best = 0;
        for (const auto& p : paths_) {
            if (p.size() < at_.size()) continue;
            bool prefix = true;
            for (std::size_t i = 0; i < at_.size() && prefix; ++i)
                prefix = p[i] == hive::kAnySubkey || Up(p[i]) == Up(at_[i]);
            if (prefix) best = std::max(best, p.size() == at_.size() ? 2 : 1);
        }
        return best;
    }
    const std::vector<std::vector<std::u16string>>& paths_;
    std::vector<std::u16string> at_;
    std::vector<bool> kept_;
};

// Names of every kind: Latin-1, UTF-16, surrogate pairs, empty; class names; values of few bytes.
inline Node Names() {
    using namespace std::string_literals;
    Node root{u"ROOT", {{u"", 1, Utf16(u"default\0"s)}}, {}, u"root class", 132000000000000000ull};
    root.children.push_back({u"caf\u00e9 \u00ff", {{u"na\u00efve", 4, {1, 0, 0, 0}}}, {}});
    // Japanese era names and a key named with emoji, beyond the BMP: surrogate pairs.
    root.children.push_back({u"\u660e\u6cbb_\u660e_Meiji_M", {{u"\u660e", 1, Utf16(u"\u660e\u6cbb\0"s)}}, {}});
    root.children.push_back(
        {u"\U0001F600\U0001F680\U0001F4BE", {{u"\U0001F600", 7, Utf16(u"a\0\U0001F600\0\0"s)}}, {}, u"\U0001F4BE"});
    root.children.push_back(
        {u"Empty",
         {{u"none", 0, {}}, {u"three", 3, {1, 2, 3}}, {u"four", 11, {1, 2, 3, 4}}, {u"five", 3, {1, 2, 3, 4, 5}}},
         {}});
    return root;
}

// Values of big data: one segment's worth, one byte more, whole segments, many.
inline Node Big() {
    Node root{u"R", {}, {}};
    for (std::size_t n : {16344u, 16345u, 3u * 16344u, 100000u}) {
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = std::uint8_t(i * 7 + i / 251);
        root.values.push_back({u"v" + std::u16string(1, char16_t('0' + root.values.size())), 3, data});
    }
    return root;
}

// `n` subkeys of the root: an ri index over lh lists from 513 on.
inline Node Wide(int n) {
    Node root{u"R", {}, {}};
    for (int i = 0; i < n; ++i) {
        char16_t name[] = {char16_t(i % 3 == 0 ? 'k' : 'K'), char16_t('0' + i / 1000), char16_t('0' + i / 100 % 10),
                           char16_t('0' + i / 10 % 10),      char16_t('0' + i % 10),   0};
        root.children.push_back({name, {}, {}});
    }
    return root;
}

// A SOFTWARE-like tree: Microsoft\Windows NT\CurrentVersion among 700 siblings (an ri index of lh
// lists), a class name, a big value, a name outside Latin-1, and a deep branch that is never asked for.
inline Node Software() {
    Node cv{u"CurrentVersion",
            {{u"ProductName", 1, Utf16(u"Windows 10 Pro")},
             {u"CurrentBuildNumber", 1, Utf16(u"19045")},
             {u"UBR", 4, {0x3A, 0x0D, 0, 0}},
             {u"DigitalProductId", 3, Bytes(20000, 0xA5)}},
            {},
            u"CurrentVersionClass"};
    Node nt{u"Windows NT", {}, {cv, Node{u"Ключ", {{u"x", 4, {1, 0, 0, 0}}}}}};
    Node ms{u"Microsoft", {{u"skip", 1, Bytes{'s', 'k', 'i', 'p', 0}}}, {nt}};
    for (int i = 0; i < 700; ++i) {
        Node filler{u"Vendor"};
        for (char c : std::to_string(i)) filler.name += char16_t(c);
        filler.values.push_back({u"Data", 3, Bytes(200, std::uint8_t(i))});
        ms.children.push_back(filler);
    }
    Node root{u"ROOT", {{u"rootvalue", 4, {7, 0, 0, 0}}}, {ms}};
    Node deep{u"Deep"};
    Node* at = &deep;
    for (int i = 0; i < 40; ++i) at->children.push_back(Node{u"level"}), at = &at->children.back();
    root.children.push_back(deep);
    return root;
}

// Finds a key node by name (Latin-1 names) by scanning the cells; the file offset of its record, 0 if none.
inline std::uint32_t KeyRecord(const Bytes& h, std::string_view name) {
    for (std::size_t bin = 4096; bin < h.size(); bin += ReadLe32(&h[bin + 8]))
        for (std::size_t cell = bin + 32; cell < bin + ReadLe32(&h[bin + 8]);) {
            const std::int32_t size = std::int32_t(ReadLe32(&h[cell]));
            const std::size_t rec = cell + 4;
            if (size < 0 && h[rec] == 'n' && h[rec + 1] == 'k' &&
                std::string_view(reinterpret_cast<const char*>(&h[rec + 76]), ReadLe16(&h[rec + 72])) == name)
                return std::uint32_t(rec);
            cell += size < 0 ? -size : size;
        }
    return 0;
}
// The file offset of the record that field `field` of the record at `rec` points to.
inline std::uint32_t At(const Bytes& h, std::uint32_t rec, int field) {
    return 4096 + ReadLe32(&h[rec + field]) + 4;
}

// Three states of one small hive for log tests; each a different tree.
inline Node State(int n) {
    Node root{u"ROOT", {{u"state", 4, {std::uint8_t(n), 0, 0, 0}}}, {}};
    for (int i = 0; i < 3 + 4 * n; ++i) {
        Node k{u"key" + std::u16string(1, char16_t('a' + i)), {}, {}};
        k.values.push_back({u"v", 1, Utf16(u"value " + std::u16string(1, char16_t('0' + n)))});
        if (n == 2) k.values.push_back({u"blob", 3, Bytes(900 + 20 * i, std::uint8_t(i))});
        root.children.push_back(k);
    }
    return root;
}

}  // namespace hivekit
