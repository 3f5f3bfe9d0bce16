// Writing a clean hive of version 1.5: lh subkey lists (ri above 512 subkeys), names in Latin-1
// where they fit, db big-data records above 16,344 bytes, one security cell shared by every key.
#include "byte_order.h"
#include "hive.h"
#include "hive_format.h"

#include <algorithm>
#include <string>

namespace hive {

using namespace format;

namespace {

std::u16string Upper(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = Upcase(c);
    return out;
}

bool FitsLatin1(std::u16string_view s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c <= 0xFF; });
}

// A self-relative security descriptor: owner Administrators, group SYSTEM, a DACL giving
// SYSTEM and Administrators full control and Everyone read, inherited by subkeys.
constexpr std::uint8_t kSecurityDescriptor[] = {
    1, 0, 0x04, 0x80, 0x14, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0, 0x30, 0, 0, 0,  // self-relative, DACL
                                                                                // present
    1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,                    // owner S-1-5-32-544
    1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,                                      // group S-1-5-18
    2, 0, 0x48, 0, 3, 0, 0, 0,                                                  // ACL revision 2, 72 bytes, 3 ACEs
    0, 0x02, 0x14, 0, 0x3F, 0, 0x0F, 0, 1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,  // SYSTEM: KEY_ALL_ACCESS
    0, 0x02, 0x18, 0, 0x3F, 0, 0x0F, 0, 1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,  // Administrators
    0, 0x02, 0x14, 0, 0x19, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,                       // Everyone: KEY_READ
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

    // The record in the cell at `off`: its data, after the cell's size.
    std::uint8_t* Rec(std::uint32_t off) { return bins.data() + off + kCellSizeField; }
    // memcpy, but empty names and data may have no storage at all.
    static void Copy(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
        if (n) std::memcpy(to, from, n);
    }

    void CloseBin() {
        if (bins.size() < binEnd) {
            const std::size_t start = bins.size();
            bins.resize(binEnd);
            WriteLe32(&bins[start], std::uint32_t(binEnd - start));  // one free cell to the bin's end
        }
    }

    // A zeroed cell for `size` bytes of data; its offset.
    std::uint32_t Alloc(std::size_t size) {
        const std::size_t cell = CellSize(size);
        if (bins.size() + cell > binEnd) {
            CloseBin();
            const std::size_t start = bins.size(),
                              binSize = (cell + kBinHeaderSize + kPageSize - 1) / kPageSize * kPageSize;
            binEnd = start + binSize;
            bins.resize(start + kBinHeaderSize);
            PutSig(&bins[start], sig::kBin);
            WriteLe32(&bins[start + bin::kSelf], std::uint32_t(start));
            WriteLe32(&bins[start + bin::kSize], std::uint32_t(binSize));
        }
        const std::uint32_t off = std::uint32_t(bins.size());
        bins.resize(bins.size() + cell);
        WriteLe32(&bins[off], std::uint32_t(-std::int32_t(cell)));
        return off;
    }

    // `size` bytes in a cell with room for `room`.
    std::uint32_t Bytes(const std::uint8_t* data, std::size_t size, std::size_t room = 0) {
        const std::uint32_t off = Alloc(std::max(size, room));
        Copy(Rec(off), data, size);
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
        const std::uint32_t db = Alloc(db::kSize);
        const std::uint32_t list = Alloc(4 * segments);
        PutSig(Rec(db), sig::kBigData);
        WriteLe16(Rec(db) + db::kCount, std::uint16_t(segments));
        WriteLe32(Rec(db) + db::kSegments, list);
        for (std::size_t i = 0; i < segments; ++i) {
            const std::size_t from = i * kBigDataSegment,
                              n = std::min<std::size_t>(kBigDataSegment, data.size() - from);
            // A full cell for the last segment too: outside readers take its length from the cell.
            const std::uint32_t segment =
                Bytes(data.data() + from, n, kBigDataSegment);  // before Rec(): the bins may move
            WriteLe32(Rec(list) + 4 * i, segment);
        }
        return db;
    }

    std::uint32_t WriteKey(std::uint32_t index, std::uint32_t parent, bool root) {
        Key& key = keys[index];
        bool latin1;
        const auto name = NameBytes(key.name, latin1);
        const std::uint32_t nk = Alloc(nk::kName + name.size());
        PutSig(Rec(nk), sig::kKey);
        WriteLe16(Rec(nk) + nk::kFlags,
                  std::uint16_t((latin1 ? nk::kFlagLatin1 : 0) | (root ? nk::kFlagRoot | nk::kFlagNoDelete : 0)));
        WriteLe64(Rec(nk) + nk::kWritten, key.time);
        WriteLe32(Rec(nk) + nk::kParent, parent);
        WriteLe32(Rec(nk) + nk::kVolatileSubkeys, kNowhere);  // none on disk
        WriteLe32(Rec(nk) + nk::kSecurity, security);
        WriteLe32(Rec(nk) + nk::kClass, kNowhere);
        WriteLe16(Rec(nk) + nk::kNameBytes, std::uint16_t(name.size()));
        Copy(Rec(nk) + nk::kName, name.data(), name.size());
        if (!key.cls.empty()) {
            const std::uint32_t cls = Alloc(key.cls.size() * 2);
            for (std::size_t i = 0; i < key.cls.size(); ++i) WriteLe16(Rec(cls) + 2 * i, key.cls[i]);
            WriteLe32(Rec(nk) + nk::kClass, cls);
            WriteLe16(Rec(nk) + nk::kClassBytes, std::uint16_t(key.cls.size() * 2));
        }

        std::uint32_t maxValueName = 0, maxData = 0;
        std::vector<std::uint32_t> vks;
        for (auto& value : key.values) {
            const auto vname = NameBytes(value.name, latin1);
            const std::uint32_t v = Alloc(vk::kName + vname.size());
            PutSig(Rec(v), sig::kValue);
            WriteLe16(Rec(v) + vk::kNameBytes, std::uint16_t(vname.size()));
            const std::uint32_t size = std::uint32_t(value.data.size());
            if (size <= vk::kMaxInline) {
                WriteLe32(Rec(v) + vk::kDataSize, size | vk::kDataInline);
                Copy(Rec(v) + vk::kData, value.data.data(), size);
            } else {
                const std::uint32_t data = WriteData(value.data);
                WriteLe32(Rec(v) + vk::kDataSize, size);
                WriteLe32(Rec(v) + vk::kData, data);
            }
            WriteLe32(Rec(v) + vk::kType, value.type);
            WriteLe16(Rec(v) + vk::kFlags, latin1 ? vk::kFlagLatin1 : 0);
            Copy(Rec(v) + vk::kName, vname.data(), vname.size());
            vks.push_back(v);
            maxValueName = std::max<std::uint32_t>(maxValueName, std::uint32_t(value.name.size() * 2));
            maxData = std::max(maxData, size);
            value.data = {};
        }
        if (!vks.empty()) {
            const std::uint32_t list = Alloc(4 * vks.size());
            for (std::size_t i = 0; i < vks.size(); ++i) WriteLe32(Rec(list) + 4 * i, vks[i]);
            WriteLe32(Rec(nk) + nk::kValueCount, std::uint32_t(vks.size()));
            WriteLe32(Rec(nk) + nk::kValues, list);
        } else {
            WriteLe32(Rec(nk) + nk::kValues, kNowhere);
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
        std::uint32_t subkeys = kNowhere;
        if (!children.empty()) {
            std::vector<std::uint32_t> leaves;
            for (std::size_t from = 0; from < children.size(); from += list::kLeafMax) {
                const std::size_t n = std::min<std::size_t>(list::kLeafMax, children.size() - from);
                const std::uint32_t leaf = Alloc(list::kElements + list::kWide * n);
                PutSig(Rec(leaf), sig::kHashLeaf);
                WriteLe16(Rec(leaf) + list::kCount, std::uint16_t(n));
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint8_t* element = Rec(leaf) + list::kElements + list::kWide * i;
                    WriteLe32(element, children[from + i]);
                    WriteLe32(element + list::kHash, NameHash(keys[order[from + i].second].name));
                }
                leaves.push_back(leaf);
            }
            if (leaves.size() == 1) {
                subkeys = leaves[0];
            } else {
                subkeys = Alloc(list::kElements + list::kNarrow * leaves.size());
                PutSig(Rec(subkeys), sig::kIndexRoot);
                WriteLe16(Rec(subkeys) + list::kCount, std::uint16_t(leaves.size()));
                for (std::size_t i = 0; i < leaves.size(); ++i)
                    WriteLe32(Rec(subkeys) + list::kElements + list::kNarrow * i, leaves[i]);
            }
        }
        WriteLe32(Rec(nk) + nk::kSubkeyCount, std::uint32_t(children.size()));
        WriteLe32(Rec(nk) + nk::kSubkeys, subkeys);
        WriteLe32(Rec(nk) + nk::kMaxSubkeyNameBytes, maxName);
        WriteLe32(Rec(nk) + nk::kMaxSubkeyClassBytes, maxClass);
        WriteLe32(Rec(nk) + nk::kMaxValueNameBytes, maxValueName);
        WriteLe32(Rec(nk) + nk::kMaxValueDataBytes, maxData);
        return nk;
    }
};

Writer::Writer() : impl_(new Impl) {}
Writer::~Writer() {
    delete impl_;
}

void Writer::BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) {
    auto& m = *impl_;
    if (m.rootClosed) return m.Fail("a second root key");
    if (!m.open.empty()) {
        if (name.empty()) m.Fail("a subkey of " + m.PathOf(m.open.back()) + " without a name");
        if (name.find(u'\\') != name.npos) m.Fail("a key name with a backslash: " + Utf8(name));
        if (m.open.size() >= std::size_t(kMaxDepth)) m.Fail(TooDeepText());
    }
    if (name.size() > kMaxKeyName)
        m.Fail("a key name longer than " + std::to_string(kMaxKeyName) + " characters: " + Utf8(name.substr(0, 40)) +
               "...");
    if (className.size() > kMaxClassName)
        m.Fail("a class name longer than " + std::to_string(kMaxClassName) + " characters under " + Utf8(name));
    const std::uint32_t index = std::uint32_t(m.keys.size());
    m.keys.push_back({std::u16string(name), std::u16string(className), lastWritten, {}, {}});
    if (!m.open.empty()) m.keys[m.open.back()].children.push_back(index);
    m.open.push_back(index);
}

void Writer::Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    auto& m = *impl_;
    if (m.open.empty()) return m.Fail("a value outside any key");
    if (name.size() > kMaxValueName)
        m.Fail("a value name longer than " + std::to_string(kMaxValueName) + " characters in " +
               m.PathOf(m.open.back()));
    if (data.size() > std::size_t(kMaxBigDataSegments) * kBigDataSegment)
        m.Fail("value data larger than a hive holds in " + m.PathOf(m.open.back()));
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
    m.security = m.Alloc(sk::kDescriptor + sd.size());
    std::uint8_t* rec = m.Rec(m.security);
    PutSig(rec, sig::kSecurity);
    WriteLe32(rec + sk::kNext, m.security);
    WriteLe32(rec + sk::kPrevious, m.security);
    WriteLe32(rec + sk::kReferences, std::uint32_t(m.keys.size()));
    WriteLe32(rec + sk::kDescriptorSize, std::uint32_t(sd.size()));
    std::memcpy(rec + sk::kDescriptor, sd.data(), sd.size());
    const std::uint32_t root = m.WriteKey(0, kNowhere, true);
    if (!m.fault.empty()) throw HiveError("cannot write the hive: " + m.fault);
    m.CloseBin();
    if (m.bins.size() > kMaxBinsSize) throw HiveError("cannot write the hive: larger than 4 GiB");
    WriteLe64(&m.bins[bin::kWritten], m.keys[0].time);

    std::vector<std::uint8_t> file(kBaseBlockSize);
    std::uint8_t* b = file.data();
    PutSig(b + base::kSignature, sig::kHive);
    WriteLe32(b + base::kSeq1, 1);
    WriteLe32(b + base::kSeq2, 1);
    WriteLe64(b + base::kWritten, m.keys[0].time);
    WriteLe32(b + base::kMajor, base::kMajorVersion);
    WriteLe32(b + base::kMinor, base::kWrittenMinor);
    WriteLe32(b + base::kType, base::kTypePrimary);
    WriteLe32(b + base::kFormat, base::kFileFormat);
    WriteLe32(b + base::kRoot, root);
    WriteLe32(b + base::kBinsSize, std::uint32_t(m.bins.size()));
    WriteLe32(b + base::kCluster, 1);
    WriteLe32(b + base::kChecksum, BaseBlockChecksum(b));
    file.resize(kBaseBlockSize + m.bins.size());
    std::memcpy(&file[kBaseBlockSize], m.bins.data(), m.bins.size());
    return file;
}

}  // namespace hive
