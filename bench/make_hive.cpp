// Writes a hive of the shape of a Windows SYSTEM or SOFTWARE hive, for timing readers on it:
// KEYS keys up to 12 levels deep, VALUES values (strings, dwords, multi-strings, some binary blobs
// of a few KB and a few above the big-data threshold), names of 6 to 30 characters.
//   make_hive OUT KEYS VALUES
#include "Hive.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_hive OUT KEYS VALUES\n");
        return 2;
    }
    const long keys = std::atol(argv[2]), values = std::atol(argv[3]);
    std::mt19937 rng(42);
    auto pick = [&](long n) { return long(rng() % std::uint32_t(n)); };
    auto name = [&](long i) {
        static const char* words[] = {"Control", "Services", "Parameters", "Enum", "Class", "Device", "Config", "Policies",
                                      "Microsoft", "Windows", "Network", "Interfaces", "Security", "Session"};
        std::u16string s;
        for (char c : std::string(words[pick(14)]) + std::to_string(i)) s += char16_t(c);
        if (pick(50) == 0) s += u"\u00e9";
        return s;
    };
    // Parents first: key i's parent is an earlier key, mostly a recent one, so the tree is deep.
    std::vector<long> parent(keys, -1), depth(keys, 0);
    std::vector<std::vector<long>> children(keys);
    for (long i = 1; i < keys; ++i) {
        long p = pick(8) == 0 ? pick(i) : std::max(0L, i - 1 - pick(std::min(i, 30L)));
        while (depth[p] >= 12) p = parent[p];
        parent[i] = p;
        depth[i] = depth[p] + 1;
        children[p].push_back(i);
    }
    std::vector<long> valueCount(keys, 0);
    for (long v = 0; v < values; ++v) ++valueCount[pick(keys)];

    hive::Writer w;
    std::vector<std::uint8_t> data;
    auto walk = [&](auto& self, long k) -> void {
        w.BeginKey(k == 0 ? u"ROOT" : name(k), {}, 133000000000000000ull + std::uint64_t(k));
        for (long v = 0; v < valueCount[k]; ++v) {
            const long kind = pick(100);
            std::uint32_t type;
            std::size_t size;
            if (kind < 45) type = 1, size = 2 * (8 + pick(60));
            else if (kind < 85) type = 4, size = 4;
            else if (kind < 93) type = 7, size = 2 * (20 + pick(200));
            else if (kind < 99) type = 3, size = 16 + pick(2000);
            else type = 3, size = pick(10) == 0 ? 20000 + pick(40000) : 4096 + pick(8000);
            data.resize(size);
            for (auto& b : data) b = std::uint8_t(rng());
            w.Value(u"Value" + name(v), type, data);
        }
        for (long c : children[k]) self(self, c);
        w.EndKey();
    };
    walk(walk, 0);
    const auto bytes = w.Finish();
    std::ofstream(argv[1], std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    std::printf("%s: %ld keys, %ld values, %zu bytes\n", argv[1], keys, values, bytes.size());
    return 0;
}
