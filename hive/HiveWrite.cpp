// Writing a clean hive of version 1.5: lh subkey lists (ri above 512 subkeys), names in Latin-1
// where they fit, db big-data records above 16,344 bytes, one security cell shared by every key.
#include "Hive.h"
#include "HiveFormat.h"

#include <algorithm>
#include <clocale>
#include <cwctype>
#include <locale.h>
#include <memory>
#include <numeric>

namespace hive {

using namespace format;

namespace format {

char16_t Upcase(char16_t unit) {
    // Windows upper-cases one UTF-16 unit at a time with the simple Unicode mappings; surrogates
    // stay as they are. C.UTF-8 carries those mappings whatever the user's locale.
    static const std::unique_ptr<char16_t[]> table = [] {
        auto t = std::make_unique<char16_t[]>(0x10000);
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
        for (std::uint32_t c = 0; c < 0x10000; ++c) {
            std::uint32_t up = c;
            if (c >= 'a' && c <= 'z') up = c - 32;
            else if (utf8 && c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) up = std::uint32_t(towupper_l(wint_t(c), utf8));
            t[c] = up <= 0xFFFF ? char16_t(up) : char16_t(c);
        }
        if (utf8) freelocale(utf8);
        return t;
    }();
    return table[unit];
}

}  // namespace format

namespace {

constexpr std::uint32_t kLeafMax = 512;  // subkeys in one lh list; more go into an ri index
constexpr std::size_t kMaxKeyName = 255, kMaxValueName = 16383;

std::string Utf8(std::u16string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) out += char(c);
        else if (c < 0x800) out += {char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
        else if (c < 0x10000) out += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
        else out += {char(0xF0 | c >> 18), char(0x80 | (c >> 12 & 0x3F)), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
    }
    return out;
}

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = Upcase(c);
    return out;
}

bool FitsLatin1(std::u16string_view s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c <= 0xFF; });
}

std::uint32_t NameHash(std::u16string_view s) {
    std::uint32_t h = 0;
    for (char16_t c : s) h = 37 * h + Upcase(c);
    return h;
}

// A self-relative security descriptor: owner Administrators, group SYSTEM, a DACL giving
// SYSTEM and Administrators full control and Everyone read, inherited by subkeys.
constexpr std::uint8_t kSecurityDescriptor[] = {
    1, 0, 0x04, 0x80, 0x14, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0, 0x30, 0, 0, 0,  // self-relative, DACL present
    1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,  // owner S-1-5-32-544
    1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,  // group S-1-5-18
    2, 0, 0x48, 0, 3, 0, 0, 0,  // ACL revision 2, 72 bytes, 3 ACEs
    0, 0x02, 0x14, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,  // SYSTEM: KEY_ALL_ACCESS
    0, 0x02, 0x18, 0, 0x3F, 0, 0x0F, 0, 1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,  // Administrators
    0, 0x02, 0x14, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,  // Everyone: KEY_READ
};

}  // namespace

struct Writer::Impl {
    struct Value {
        std::u16string name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    struct Key {
        std::u16string name, cls;
        std::uint64_t time;
        std::vector<Value> values;
        std::vector<std::uint32_t> children;
    };
    std::vector<Key> keys;
    std::vector<std::uint32_t> open;
    std::string fault;
    bool rootClosed = false;

    std::vector<std::uint8_t> bins;
    std::size_t binEnd = 0;
    std::uint32_t security = 0;

    std::string PathOf(std::uint32_t key) const { return Utf8(keys[key].name); }

    void Fail(const std::string& what) {
        if (fault.empty()) fault = what;
    }

    std::uint8_t* At(std::uint32_t off) { return bins.data() + off; }
    // memcpy, but empty names and data may have no storage at all.
    static void Copy(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
        if (n) std::memcpy(to, from, n);
    }

    void CloseBin() {
        if (bins.size() < binEnd) {
            const std::size_t start = bins.size();
            bins.resize(binEnd);
            Put32(&bins[start], std::uint32_t(binEnd - start));  // one free cell to the bin's end
        }
    }

    // A zeroed cell for `size` bytes of data; its offset.
    std::uint32_t Alloc(std::size_t size) {
        const std::size_t cell = (size + 4 + 7) / 8 * 8;
        if (bins.size() + cell > binEnd) {
            CloseBin();
            const std::size_t start = bins.size(), binSize = (cell + kBinHeaderSize + 4095) / 4096 * 4096;
            binEnd = start + binSize;
            bins.resize(start + kBinHeaderSize);
            std::memcpy(&bins[start], "hbin", 4);
            Put32(&bins[start + 4], std::uint32_t(start));
            Put32(&bins[start + 8], std::uint32_t(binSize));
        }
        const std::uint32_t off = std::uint32_t(bins.size());
        bins.resize(bins.size() + cell);
        Put32(&bins[off], std::uint32_t(-std::int32_t(cell)));
        return off;
    }

    std::uint32_t Bytes(const std::uint8_t* data, std::size_t size) {
        const std::uint32_t off = Alloc(size);
        Copy(At(off + 4), data, size);
        return off;
    }

    // Name bytes as the hive keeps them: Latin-1 when every unit fits, else UTF-16LE.
    static std::vector<std::uint8_t> NameBytes(std::u16string_view name, bool& latin1) {
        latin1 = FitsLatin1(name);
        std::vector<std::uint8_t> out;
        for (char16_t c : name) {
            out.push_back(std::uint8_t(c));
            if (!latin1) out.push_back(std::uint8_t(c >> 8));
        }
        return out;
    }

    std::uint32_t WriteData(const std::vector<std::uint8_t>& data) {
        if (data.size() <= kBigDataSegment) return Bytes(data.data(), data.size());
        const std::size_t segments = (data.size() + kBigDataSegment - 1) / kBigDataSegment;
        const std::uint32_t db = Alloc(8);
        const std::uint32_t list = Alloc(4 * segments);
        std::memcpy(At(db + 4), "db", 2);
        Put16(At(db + 6), std::uint16_t(segments));
        Put32(At(db + 8), list);
        for (std::size_t i = 0; i < segments; ++i) {
            const std::size_t from = i * kBigDataSegment, n = std::min<std::size_t>(kBigDataSegment, data.size() - from);
            const std::uint32_t segment = Bytes(data.data() + from, n);  // before At(): the bins may move
            Put32(At(list + 4 + 4 * std::uint32_t(i)), segment);
        }
        return db;
    }

    std::uint32_t WriteKey(std::uint32_t index, std::uint32_t parent, bool root) {
        Key& key = keys[index];
        bool latin1;
        const auto name = NameBytes(key.name, latin1);
        const std::uint32_t nk = Alloc(76 + name.size());
        std::memcpy(At(nk + 4), "nk", 2);
        Put16(At(nk + 6), std::uint16_t((latin1 ? 0x20 : 0) | (root ? 0x0C : 0)));
        Put64(At(nk + 8), key.time);
        Put32(At(nk + 20), parent);
        Put32(At(nk + 36), kNowhere);  // volatile subkey list: none on disk
        Put32(At(nk + 48), security);
        Put32(At(nk + 52), kNowhere);
        Put16(At(nk + 76), std::uint16_t(name.size()));
        Copy(At(nk + 80), name.data(), name.size());
        if (!key.cls.empty()) {
            const std::uint32_t cls = Alloc(key.cls.size() * 2);
            for (std::size_t i = 0; i < key.cls.size(); ++i) Put16(At(cls + 4 + 2 * std::uint32_t(i)), key.cls[i]);
            Put32(At(nk + 52), cls);
            Put16(At(nk + 78), std::uint16_t(key.cls.size() * 2));
        }

        std::uint32_t maxValueName = 0, maxData = 0;
        std::vector<std::uint32_t> vks;
        for (auto& value : key.values) {
            const auto vname = NameBytes(value.name, latin1);
            const std::uint32_t vk = Alloc(20 + vname.size());
            std::memcpy(At(vk + 4), "vk", 2);
            Put16(At(vk + 6), std::uint16_t(vname.size()));
            const std::uint32_t size = std::uint32_t(value.data.size());
            if (size <= 4) {
                Put32(At(vk + 8), size | 0x80000000);
                Copy(At(vk + 12), value.data.data(), size);
            } else {
                const std::uint32_t data = WriteData(value.data);
                Put32(At(vk + 8), size);
                Put32(At(vk + 12), data);
            }
            Put32(At(vk + 16), value.type);
            Put16(At(vk + 20), latin1 ? 1 : 0);
            Copy(At(vk + 24), vname.data(), vname.size());
            vks.push_back(vk);
            maxValueName = std::max<std::uint32_t>(maxValueName, std::uint32_t(value.name.size() * 2));
            maxData = std::max(maxData, size);
            value.data = {};
        }
        if (!vks.empty()) {
            const std::uint32_t list = Alloc(4 * vks.size());
            for (std::size_t i = 0; i < vks.size(); ++i) Put32(At(list + 4 + 4 * std::uint32_t(i)), vks[i]);
            Put32(At(nk + 40), std::uint32_t(vks.size()));
            Put32(At(nk + 44), list);
        } else {
            Put32(At(nk + 44), kNowhere);
        }

        // Subkeys in the order Windows looks them up in: upper-cased names, unit by unit.
        std::vector<std::pair<std::u16string, std::uint32_t>> order;
        for (std::uint32_t child : key.children) order.emplace_back(Upper(keys[child].name), child);
        std::sort(order.begin(), order.end());
        for (std::size_t i = 1; i < order.size(); ++i)
            if (order[i].first == order[i - 1].first)
                Fail("two subkeys of " + PathOf(index) + " named " + Utf8(keys[order[i].second].name));
        std::uint32_t maxName = 0, maxClass = 0;
        std::vector<std::uint32_t> children;
        for (const auto& [upper, child] : order) {
            maxName = std::max<std::uint32_t>(maxName, std::uint32_t(keys[child].name.size() * 2));
            maxClass = std::max<std::uint32_t>(maxClass, std::uint32_t(keys[child].cls.size() * 2));
            children.push_back(WriteKey(child, nk, false));
        }
        std::uint32_t list = kNowhere;
        if (!children.empty()) {
            std::vector<std::uint32_t> leaves;
            for (std::size_t from = 0; from < children.size(); from += kLeafMax) {
                const std::size_t n = std::min<std::size_t>(kLeafMax, children.size() - from);
                const std::uint32_t leaf = Alloc(4 + 8 * n);
                std::memcpy(At(leaf + 4), "lh", 2);
                Put16(At(leaf + 6), std::uint16_t(n));
                for (std::size_t i = 0; i < n; ++i) {
                    Put32(At(leaf + 8 + 8 * std::uint32_t(i)), children[from + i]);
                    Put32(At(leaf + 12 + 8 * std::uint32_t(i)), NameHash(keys[order[from + i].second].name));
                }
                leaves.push_back(leaf);
            }
            if (leaves.size() == 1) {
                list = leaves[0];
            } else {
                list = Alloc(4 + 4 * leaves.size());
                std::memcpy(At(list + 4), "ri", 2);
                Put16(At(list + 6), std::uint16_t(leaves.size()));
                for (std::size_t i = 0; i < leaves.size(); ++i) Put32(At(list + 8 + 4 * std::uint32_t(i)), leaves[i]);
            }
        }
        Put32(At(nk + 24), std::uint32_t(children.size()));
        Put32(At(nk + 32), list);
        Put32(At(nk + 56), maxName);
        Put32(At(nk + 60), maxClass);
        Put32(At(nk + 64), maxValueName);
        Put32(At(nk + 68), maxData);
        return nk;
    }
};

Writer::Writer() : impl_(new Impl) {}
Writer::~Writer() { delete impl_; }

void Writer::BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) {
    auto& m = *impl_;
    if (m.rootClosed) return m.Fail("a second root key");
    if (!m.open.empty()) {
        if (name.empty()) m.Fail("a subkey of " + m.PathOf(m.open.back()) + " without a name");
        if (name.find(u'\\') != name.npos) m.Fail("a key name with a backslash: " + Utf8(name));
        if (m.open.size() >= kMaxDepth) m.Fail("keys nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    if (name.size() > kMaxKeyName) m.Fail("a key name longer than 255 characters: " + Utf8(name.substr(0, 40)) + "...");
    if (className.size() > 0x7FFF) m.Fail("a class name longer than 32,767 characters under " + Utf8(name));
    const std::uint32_t index = std::uint32_t(m.keys.size());
    m.keys.push_back({std::u16string(name), std::u16string(className), lastWritten, {}, {}});
    if (!m.open.empty()) m.keys[m.open.back()].children.push_back(index);
    m.open.push_back(index);
}

void Writer::Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    auto& m = *impl_;
    if (m.open.empty()) return m.Fail("a value outside any key");
    if (name.size() > kMaxValueName) m.Fail("a value name longer than 16,383 characters in " + m.PathOf(m.open.back()));
    if (data.size() > std::size_t(0xFFFF) * kBigDataSegment) m.Fail("value data larger than a hive holds in " + m.PathOf(m.open.back()));
    auto& values = m.keys[m.open.back()].values;
    values.push_back({std::u16string(name), type, std::vector<std::uint8_t>(data.begin(), data.end())});
}

void Writer::EndKey() {
    auto& m = *impl_;
    if (m.open.empty()) return m.Fail("EndKey without a key");
    m.open.pop_back();
    if (m.open.empty()) m.rootClosed = true;
}

std::vector<std::uint8_t> Writer::Finish() {
    auto& m = *impl_;
    if (m.keys.empty()) m.Fail("no root key");
    if (!m.open.empty()) m.Fail("a key left open");
    for (std::uint32_t k = 0; k < m.keys.size() && m.fault.empty(); ++k) {
        std::vector<std::u16string> names;
        for (const auto& v : m.keys[k].values) names.push_back(Upper(v.name));
        std::sort(names.begin(), names.end());
        if (std::adjacent_find(names.begin(), names.end()) != names.end())
            m.Fail("two values of the same name in " + m.PathOf(k));
    }
    if (!m.fault.empty()) throw HiveError("cannot write the hive: " + m.fault);

    const std::span<const std::uint8_t> sd = kSecurityDescriptor;
    m.security = m.Alloc(20 + sd.size());
    std::memcpy(m.At(m.security + 4), "sk", 2);
    Put32(m.At(m.security + 8), m.security);
    Put32(m.At(m.security + 12), m.security);
    Put32(m.At(m.security + 16), std::uint32_t(m.keys.size()));
    Put32(m.At(m.security + 20), std::uint32_t(sd.size()));
    std::memcpy(m.At(m.security + 24), sd.data(), sd.size());
    const std::uint32_t root = m.WriteKey(0, kNowhere, true);
    if (!m.fault.empty()) throw HiveError("cannot write the hive: " + m.fault);
    m.CloseBin();
    if (m.bins.size() > 0xFFFFF000) throw HiveError("cannot write the hive: larger than 4 GiB");
    Put64(&m.bins[12 + 8], m.keys[0].time);  // first bin's timestamp

    std::vector<std::uint8_t> file(kBaseBlockSize);
    std::memcpy(&file[0], "regf", 4);
    Put32(&file[4], 1);
    Put32(&file[8], 1);
    Put64(&file[12], m.keys[0].time);
    Put32(&file[20], 1);
    Put32(&file[24], 5);
    Put32(&file[28], 0);
    Put32(&file[32], 1);
    Put32(&file[36], root);
    Put32(&file[40], std::uint32_t(m.bins.size()));
    Put32(&file[44], 1);
    Put32(&file[508], BaseBlockChecksum(file.data()));
    file.resize(kBaseBlockSize + m.bins.size());
    std::memcpy(&file[kBaseBlockSize], m.bins.data(), m.bins.size());
    return file;
}

}  // namespace hive
