// Writes a hive shaped like a Windows SYSTEM or SOFTWARE hive, for the import benchmarks: a tree a
// few levels deep with wide levels, about two values per key (strings, numbers, binary data, string
// lists, now and then a large value), until the file reaches the size asked for.
//
//   hive_generate FILE --keys N          stops after N keys (SYSTEM: 43000 keys, ~90000 values)
//   hive_generate FILE --megabytes M     stops when the hive's cells reach about M MB (SOFTWARE: 200)
//   ... --dirty                          FILE is left behind its log FILE.LOG1, which holds a
//                                        quarter of its pages, as a power cut leaves a hive
#include "Hive.h"
#include "HiveKit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::uint64_t state = 0x9E3779B97F4A7C15ull;
std::uint32_t Next() {  // xorshift: the same hive on every run
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state >> 32);
}
std::uint32_t Below(std::uint32_t n) { return Next() % n; }

std::u16string Name(const char* stem, std::uint32_t n) {
    static const char* const kWords[] = {"Control", "Enum", "Services", "Class", "Parameters", "Device",
                                         "Microsoft", "Windows", "Setup", "Policies", "Config", "Interface",
                                         "Properties", "Network", "Tcpip", "Security", "Instance", "Driver"};
    std::string s = stem;
    s += kWords[Below(18)];
    s += std::to_string(n);
    if (Below(4) == 0) {
        s += '{';
        s += std::to_string(Next());
        s += '-';
        s += std::to_string(Next());
        s += '}';
    }
    return std::u16string(s.begin(), s.end());
}

std::vector<std::uint8_t> Utf16Bytes(const std::string& s, bool multi) {
    std::vector<std::uint8_t> out;
    for (char c : s) out.insert(out.end(), {static_cast<std::uint8_t>(c == '|' && multi ? 0 : c), 0});
    out.insert(out.end(), {0, 0});
    if (multi) out.insert(out.end(), {0, 0});
    return out;
}

struct Generator {
    hive::Writer writer;
    std::uint64_t keys = 0, values = 0, bytes = 0;
    std::uint64_t maxKeys = 0, maxBytes = 0;

    bool Done() const { return (maxKeys != 0 && keys >= maxKeys) || (maxBytes != 0 && bytes >= maxBytes); }

    void Values() {
        const std::uint32_t count = Below(100) < 15 ? 0 : 1 + Below(3) + (Below(10) == 0 ? Below(12) : 0);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::u16string name = i == 0 && Below(5) == 0 ? u"" : Name("", i);
            std::vector<std::uint8_t> data;
            std::uint32_t type = 0;
            const std::uint32_t kind = Below(100);
            if (kind < 35) {
                type = 1;  // REG_SZ
                data = Utf16Bytes("C:\\Windows\\System32\\drivers\\file" + std::to_string(Next() % 100000) + ".sys", false);
                data.resize(data.size() - 2 * Below(20));
                data.insert(data.end(), {0, 0});
            } else if (kind < 70) {
                type = 4;  // REG_DWORD
                data.resize(4);
                const std::uint32_t v = Next();
                std::memcpy(data.data(), &v, 4);
            } else if (kind < 88) {
                type = 3;  // REG_BINARY
                data.resize(Below(100) < 97 ? 8 + Below(120) : 1000 + Below(30000));
                for (auto& b : data) b = static_cast<std::uint8_t>(Next());
            } else if (kind < 95) {
                type = 7;  // REG_MULTI_SZ
                data = Utf16Bytes("first|second value|third", true);
            } else {
                type = 2;  // REG_EXPAND_SZ
                data = Utf16Bytes("%SystemRoot%\\system32\\svchost.exe -k netsvcs -p", false);
            }
            writer.Value(name, type, data);
            ++values;
            bytes += 24 + 2 * name.size() + 4 + (data.size() > 4 ? data.size() + 8 : 0);
        }
    }

    void Key(const std::u16string& name, int depth) {
        writer.BeginKey(name);
        ++keys;
        bytes += 96 + 2 * name.size() + 8;
        Values();
        // Wide near the top, narrower below, as the registry's trees are.
        const std::uint32_t children = depth < 3 ? 6 + Below(20) : depth < 7 ? Below(5) : 0;
        for (std::uint32_t i = 0; i < children && !Done(); ++i) Key(Name("Sub", i), depth + 1);
        writer.EndKey();
    }
};

bool Save(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (out.flush()) return true;
    std::cerr << "hive_generate: cannot write " << path << "\n";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const bool dirty = argc == 5 && std::strcmp(argv[4], "--dirty") == 0;
    if ((argc != 4 && !dirty) || (std::strcmp(argv[2], "--keys") != 0 && std::strcmp(argv[2], "--megabytes") != 0)) {
        std::cerr << "usage: hive_generate FILE --keys N | --megabytes M [--dirty]\n";
        return 2;
    }
    Generator g;
    if (std::strcmp(argv[2], "--keys") == 0) g.maxKeys = std::strtoull(argv[3], nullptr, 10);
    else g.maxBytes = std::strtoull(argv[3], nullptr, 10) * 1000000;
    // The root takes more top-level keys until the size is reached.
    g.writer.BeginKey(u"ROOT");
    for (std::uint32_t i = 0; !g.Done(); ++i) g.Key(Name("Top", i), 1);
    g.writer.EndKey();
    std::vector<std::uint8_t> file = g.writer.Finish();
    std::size_t logBytes = 0;
    if (dirty) {
        // The primary as it was before the last write reached it: every fourth page stale.
        hivekit::Bytes stale = file;
        for (std::size_t at = 4096; at + 4096 <= stale.size(); at += 4 * 4096) std::memset(&stale[at], 0xFF, 4096);
        const hivekit::Bytes log = hivekit::NewLog(stale, 10, {hivekit::Entry(10, stale, file)});
        file = hivekit::Dirty(stale, 11, 10);
        if (!Save(std::string(argv[1]) + ".LOG1", log)) return 1;
        logBytes = log.size();
    }
    if (!Save(argv[1], file)) return 1;
    std::printf("%llu keys %llu values %zu bytes %zu log bytes\n", static_cast<unsigned long long>(g.keys),
                static_cast<unsigned long long>(g.values), file.size(), logBytes);
    return 0;
}
