#include "hive_shapes.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <set>
#include <string>

namespace hiveshape {
namespace {

// Device property types, as Windows 10 keeps them under Enum\...\Properties\{guid}\NNNN.
constexpr std::uint32_t kDevPropUint32 = 0xFFFF0007, kDevPropGuid = 0xFFFF000D, kDevPropFiletime = 0xFFFF0010,
                        kDevPropBoolean = 0xFFFF0011, kDevPropString = 0xFFFF0012, kDevPropStringList = 0xFFFF2012;

constexpr std::uint32_t kNone = 0, kSz = 1, kExpandSz = 2, kBinary = 3, kDword = 4, kMultiSz = 7, kQword = 11;

struct Profile {
    // Percent of the ordinary values (those outside device properties) of each type; the rest REG_NONE.
    int sz, dword, binary, multiSz, expandSz, qword;
    int devicePropertiesPerMille;  // of keys 4 to 8 levels deep, those with a Properties subtree
    int withoutValuesPerMille;     // keys that hold no value
    std::uint32_t largest;         // bytes of the hive's largest value, one of a kind
    std::uint64_t seed;
};

constexpr Profile kProfiles[] = {
    // SYSTEM of Windows 10: device properties make about a tenth of its values; BootPlan ~200 KB.
    {44, 25, 15, 4, 4, 2, 62, 300, 231 * 1024, 0x9E3779B97F4A7C15ull},
    // SOFTWARE: more strings (class registrations, paths), a 260 KB value.
    {47, 22, 14, 3, 4, 3, 0, 500, 262 * 1024, 0xD1B54A32D192ED03ull},
    // NTUSER.DAT: more binary state (MRU lists, window positions), ProgramsCache of ~72 KB.
    {42, 25, 18, 3, 3, 4, 0, 500, 73 * 1024, 0x8CB92BA72F3D8DD7ull},
};

constexpr const char* kWords[] = {
    "Control",  "Enum",        "Services",     "Class",         "Parameters",   "Device",     "Microsoft",
    "Windows",  "Setup",       "Policies",     "Config",        "Interface",    "Network",    "Tcpip",
    "Security", "Instance",    "Driver",       "Storage",       "Display",      "Session",    "Manager",
    "Power",    "Audio",       "Video",        "Monitor",       "Print",        "Spooler",    "Kernel",
    "Memory",   "Management",  "Firewall",     "Explorer",      "Shell",        "Extensions", "Handlers",
    "Cache",    "Settings",    "Profile",      "Notifications", "Capabilities", "Components", "Features",
    "Update",   "Diagnostics", "Performance",  "Event",         "Log",          "Channel",    "Provider",
    "Filter",   "Volume",      "Mount",        "Boot",          "Hardware",     "Current",    "Version",
    "Default",  "User",        "Keyboard",     "Mouse",         "Input",        "Locale",     "Language",
    "Time",     "Zone",        "Cryptography", "Certificate",   "Store",        "Group",      "Scheduler",
    "Task",     "Tracing",     "Remote",       "Desktop",       "Terminal",     "Server",     "Bluetooth",
    "Wireless", "Adapter",     "Bus",          "Root",          "Environment",  "Run",        "Associations",
    "Name",     "Path",        "Type",         "Start",         "Flags",        "Id",         "Mode",
};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next() {  // xorshift: the same hive on every run
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<std::uint32_t>(state_ >> 32);
    }
    std::uint32_t Below(std::uint32_t n) { return Next() % n; }
    std::uint32_t Between(std::uint32_t lo, std::uint32_t hi) { return lo + Below(hi - lo + 1); }  // both included

private:
    std::uint64_t state_;
};

enum class NameKind { Words, Guid, Instance, DeviceId, Dotted };

class Generator {
public:
    Generator(Shape shape, const Limits& limits, hive::Writer& writer)
        : shape_(shape), p_(kProfiles[static_cast<int>(shape)]), limits_(limits), writer_(writer), rng_(p_.seed) {}

    Generated Run() {
        // The root takes more top-level keys until the limit is reached.
        std::set<std::string> taken;
        while (!Done()) Key(ChildName(NameKind::Words, taken), 1);
        return done_;
    }

private:
    bool Done() const {
        return (limits_.keys != 0 && done_.keys >= limits_.keys) || (limits_.bytes != 0 && bytes_ >= limits_.bytes);
    }

    std::string Words(int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += kWords[rng_.Below(kWordCount)];
        return s;
    }

    std::string Guid() {
        char buf[40];
        std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%04X-%04X%08X}", rng_.Next(), rng_.Below(0x10000),
                      rng_.Below(0x10000), rng_.Below(0x10000), rng_.Below(0x10000), rng_.Next());
        return buf;
    }

    std::string Name(NameKind kind, std::size_t ordinal) {
        char buf[80];
        switch (kind) {
            case NameKind::Words:
                return Words(rng_.Below(4) == 0 ? 3 : 2);
            case NameKind::Guid:
                return Guid();
            case NameKind::Instance:
                std::snprintf(buf, sizeof buf, "%04zu", ordinal);
                return buf;
            case NameKind::DeviceId:
                std::snprintf(buf, sizeof buf, "VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%02X", rng_.Below(0x10000),
                              rng_.Below(0x10000), rng_.Next(), rng_.Below(0x100));
                return buf;
            case NameKind::Dotted:
                return "Microsoft." + Words(1) + "." + Words(1 + rng_.Below(2));
        }
        return {};
    }

    // A name no sibling has, without regard to ASCII case.
    std::u16string ChildName(NameKind kind, std::set<std::string>& taken) {
        std::string name = Name(kind, taken.size());
        auto upper = [](std::string s) {
            for (char& c : s) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
            return s;
        };
        for (int n = 2; !taken.insert(upper(name)).second; ++n) name += std::to_string(n);
        std::u16string out(name.begin(), name.end());
        // Now and then a name beyond ASCII, as localized and user-given names are.
        if (rng_.Below(300) == 0) out += u'\u00E9';
        return out;
    }

    NameKind ChildKind(int depth) {
        const std::uint32_t r = rng_.Below(100);
        if (depth <= 2) return r < 90 ? NameKind::Words : NameKind::Dotted;
        if (shape_ == Shape::System) {
            return r < 66   ? NameKind::Words
                   : r < 80 ? NameKind::Guid
                   : r < 88 ? NameKind::Instance
                            : NameKind::DeviceId;
        }
        if (shape_ == Shape::Software) {
            return r < 66 ? NameKind::Words : r < 80 ? NameKind::Guid : r < 90 ? NameKind::Instance : NameKind::Dotted;
        }
        return r < 72 ? NameKind::Words : r < 84 ? NameKind::Guid : r < 94 ? NameKind::Instance : NameKind::Dotted;
    }

    // Wide near the top, a few keys of hundreds of subkeys (Enum, Services, CLSID), narrow below.
    std::uint32_t Children(int depth) {
        static constexpr int kLeafPercent[] = {0, 0, 10, 30, 45, 55, 62, 68, 74, 80, 86, 92, 100};
        const int leaf = kLeafPercent[std::min<std::size_t>(depth, std::size(kLeafPercent) - 1)];
        if (static_cast<int>(rng_.Below(100)) < leaf) return 0;
        const std::uint32_t r = rng_.Below(1000);
        if (depth <= 1) return rng_.Between(6, 14);
        if (r < 8 && depth <= 5) return rng_.Between(60, 500);
        if (r < 120) return rng_.Between(4, 16);
        return rng_.Between(1, 3);
    }

    std::vector<std::uint8_t> Utf16(const std::u16string& s, bool terminated) {
        std::vector<std::uint8_t> out;
        out.reserve(2 * s.size() + 2);
        for (char16_t c : s) out.insert(out.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
        if (terminated) out.insert(out.end(), {0, 0});
        return out;
    }

    std::u16string Text(std::uint32_t units) {
        std::u16string s;
        while (s.size() < units) {
            const std::uint32_t r = rng_.Below(10);
            const char* w = kWords[rng_.Below(kWordCount)];
            s.append(w, w + std::strlen(w));
            s += r < 3 ? u'\\' : r < 6 ? u' ' : r < 7 ? u'.' : r < 8 ? u'-' : u'0' + char16_t(rng_.Below(10));
        }
        s.resize(units);
        if (rng_.Below(200) == 0 && !s.empty()) s[0] = rng_.Below(2) ? u'\u00C4' : u'\u4E2D';  // beyond Latin-1 too
        return s;
    }

    std::uint32_t StringUnits() {
        const std::uint32_t r = rng_.Below(100);
        if (r < 45) return rng_.Between(3, 11);
        if (r < 78) return rng_.Between(10, 35);
        if (r < 96) return rng_.Between(36, 55);
        return rng_.Between(56, 300);
    }

    std::uint32_t BinaryBytes() {
        const std::uint32_t r = rng_.Below(1000);
        if (r < 450) return rng_.Between(8, 24);
        if (r < 820) return rng_.Between(25, 110);
        if (r < 960) return rng_.Between(111, 1024);
        if (r < 997) return rng_.Between(1025, 16344);
        return rng_.Between(16345, 65536);
    }

    void Put(const std::u16string& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        writer_.Value(name, type, data);
        ++done_.values;
        bytes_ += 24 + 2 * name.size() + 4 + (data.size() > 4 ? data.size() + 8 : 0);
    }

    std::vector<std::uint8_t> Random(std::size_t n) {
        std::vector<std::uint8_t> data(n);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng_.Next());
        return data;
    }

    std::vector<std::uint8_t> Data(std::uint32_t& type) {
        int r = static_cast<int>(rng_.Below(100));
        if ((r -= p_.sz) < 0) return type = kSz, Utf16(Text(StringUnits()), true);
        if ((r -= p_.dword) < 0) return type = kDword, Random(4);
        if ((r -= p_.binary) < 0) return type = kBinary, Random(BinaryBytes());
        if ((r -= p_.multiSz) < 0) {
            type = kMultiSz;
            std::u16string list;
            for (std::uint32_t i = rng_.Between(1, 4); i > 0; --i) list += Text(rng_.Between(4, 24)) + u'\0';
            return Utf16(list, true);
        }
        if ((r -= p_.expandSz) < 0) {
            type = kExpandSz;
            return Utf16(u"%SystemRoot%\\System32\\" + Text(rng_.Between(4, 36)) + u".dll", true);
        }
        if ((r -= p_.qword) < 0) return type = kQword, Random(8);
        return type = kNone, Random(rng_.Below(3) == 0 ? 0 : rng_.Between(1, 16));
    }

    std::u16string ValueName(std::set<std::string>& taken) {
        if (rng_.Below(100) < 7 && taken.insert("").second) return u"";  // the key's default value
        const std::uint32_t r = rng_.Below(100);
        std::string name = Words(r < 35 ? 1 : r < 90 ? 2 : 3);
        for (int n = 2; !taken.insert(name).second; ++n) name += std::to_string(n);
        return std::u16string(name.begin(), name.end());
    }

    std::uint32_t ValueCount() {
        const std::uint32_t r = rng_.Below(1000);
        if (static_cast<int>(r) < p_.withoutValuesPerMille) return 0;
        if (r < 820) return rng_.Between(1, 4);
        if (r < 990) return rng_.Between(4, 10);
        return rng_.Between(11, 60);
    }

    void Values() {
        std::set<std::string> taken;
        for (std::uint32_t i = ValueCount(); i > 0; --i) {
            const std::u16string name = ValueName(taken);
            std::uint32_t type = 0;
            std::vector<std::uint8_t> data;
            if (!largestWritten_ && done_.keys >= 1000) {
                // One value far larger than the rest, as BootPlan or ProgramsCache is.
                largestWritten_ = true;
                type = kBinary;
                data = Random(p_.largest);
            } else {
                data = Data(type);
            }
            Put(name, type, data);
        }
    }

    void Begin(const std::u16string& name) {
        writer_.BeginKey(name);
        ++done_.keys;
        bytes_ += 96 + 2 * name.size() + 8;
    }

    // Properties\{category}\NNNN, each NNNN holding one unnamed value of a device property type.
    void DeviceProperties() {
        Begin(u"Properties");
        std::set<std::string> categories;
        for (std::uint32_t c = rng_.Between(2, 4); c > 0 && !Done(); --c) {
            Begin(ChildName(NameKind::Guid, categories));
            std::set<std::string> ids;
            for (std::uint32_t i = rng_.Between(1, 4); i > 0 && !Done(); --i) {
                Begin(ChildName(NameKind::Instance, ids));
                const std::uint32_t r = rng_.Below(100);
                if (r < 35) Put(u"", kDevPropUint32, Random(4));
                else if (r < 60) Put(u"", kDevPropString, Utf16(Text(StringUnits()), true));
                else if (r < 75) Put(u"", kDevPropFiletime, Random(8));
                else if (r < 85) Put(u"", kDevPropBoolean, Random(1));
                else if (r < 95) Put(u"", kDevPropGuid, Random(16));
                else Put(u"", kDevPropStringList, Utf16(Text(rng_.Between(8, 40)) + u'\0', true));
                writer_.EndKey();
            }
            writer_.EndKey();
        }
        writer_.EndKey();
    }

    void Key(const std::u16string& name, int depth) {
        Begin(name);
        Values();
        const NameKind kind = ChildKind(depth + 1);
        std::set<std::string> taken;
        taken.insert("PROPERTIES");
        for (std::uint32_t i = Children(depth); i > 0 && !Done(); --i) Key(ChildName(kind, taken), depth + 1);
        if (depth >= 4 && depth <= 8 && !Done() && static_cast<int>(rng_.Below(1000)) < p_.devicePropertiesPerMille)
            DeviceProperties();
        writer_.EndKey();
    }

    Shape shape_;
    const Profile& p_;
    Limits limits_;
    hive::Writer& writer_;
    Rng rng_;
    Generated done_;
    std::uint64_t bytes_ = 0;
    bool largestWritten_ = false;
};

}  // namespace

std::optional<Shape> ShapeNamed(std::string_view name) {
    if (name == "system") return Shape::System;
    if (name == "software") return Shape::Software;
    if (name == "user") return Shape::User;
    return std::nullopt;
}

Generated Generate(Shape shape, const Limits& limits, hive::Writer& writer) {
    return Generator(shape, limits, writer).Run();
}

void HiveShape::BeginKey(std::u16string_view name, std::u16string_view, std::uint64_t) {
    if (++depth_ == 0) return;
    ++keys_;
    keyNameUnits_ += name.size();
    depthSum_ += static_cast<std::uint64_t>(depth_);
    maxDepth_ = std::max(maxDepth_, depth_);
}

void HiveShape::Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
    valueNameUnits_ += name.size();
    ++types_[type];
    sizes_.push_back(static_cast<std::uint32_t>(data.size()));
    sorted_ = false;
}

void HiveShape::EndKey() {
    --depth_;
}

double HiveShape::KeyNameLength() const {
    return keys_ == 0 ? 0 : double(keyNameUnits_) / double(keys_);
}
double HiveShape::ValueNameLength() const {
    return sizes_.empty() ? 0 : double(valueNameUnits_) / double(sizes_.size());
}
double HiveShape::ValuesPerKey() const {
    return keys_ == 0 ? 0 : double(sizes_.size()) / double(keys_ + 1);
}
double HiveShape::MeanDepth() const {
    return keys_ == 0 ? 0 : double(depthSum_) / double(keys_);
}

std::uint32_t HiveShape::SizePercentile(int percent) const {
    if (sizes_.empty()) return 0;
    if (!sorted_) std::sort(sizes_.begin(), sizes_.end()), sorted_ = true;
    return sizes_[(sizes_.size() - 1) * static_cast<std::size_t>(percent) / 100];
}

std::uint32_t HiveShape::LargestValue() const {
    return SizePercentile(100);
}

double HiveShape::TypeShare(std::uint32_t type) const {
    const auto it = types_.find(type);
    return it == types_.end() || sizes_.empty() ? 0 : double(it->second) / double(sizes_.size());
}

double HiveShape::DevicePropertyShare() const {
    std::uint64_t n = 0;
    for (auto it = types_.lower_bound(0xFFFF0000u); it != types_.end(); ++it) n += it->second;
    return sizes_.empty() ? 0 : double(n) / double(sizes_.size());
}

}  // namespace hiveshape
