// Writes a hive shaped like one Windows keeps (bench/hive_shapes.h), for the import benchmarks.
//
//   hive_generate FILE [--shape S] --keys N       stops after N keys (a SYSTEM of Windows 10: ~43000)
//   hive_generate FILE [--shape S] --megabytes M  stops when the cells reach about M MB (SOFTWARE: 200)
//   ... --shape system|software|user              SYSTEM (the default), SOFTWARE or NTUSER.DAT
//   ... --dirty                                   FILE is left behind its log FILE.LOG1, which holds a
//                                                 quarter of its pages, as a power cut leaves a hive
//   ... --stats                                   prints the statistics real hives are described by
//
// Prints "K keys V values B bytes L log bytes" (and with --stats one more line of name=value pairs).
#include "Hive.h"
#include "HiveKit.h"
#include "hive_shapes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool Save(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (out.flush()) return true;
    std::cerr << "hive_generate: cannot write " << path << "\n";
    return false;
}

}  // namespace

int Usage() {
    std::cerr
        << "usage: hive_generate FILE [--shape system|software|user] --keys N | --megabytes M [--dirty] [--stats]\n";
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    hiveshape::Shape shape = hiveshape::Shape::System;
    hiveshape::Limits limits;
    bool dirty = false, stats = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        if (arg == "--dirty") {
            dirty = true;
        } else if (arg == "--stats") {
            stats = true;
        } else if (arg == "--shape" && hasNext) {
            const auto named = hiveshape::ShapeNamed(argv[++i]);
            if (!named) return Usage();
            shape = *named;
        } else if (arg == "--keys" && hasNext) {
            limits.keys = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--megabytes" && hasNext) {
            limits.bytes = std::strtoull(argv[++i], nullptr, 10) * 1000000;
        } else {
            return Usage();
        }
    }
    if ((limits.keys == 0) == (limits.bytes == 0)) return Usage();
    hive::Writer writer;
    writer.BeginKey(u"ROOT");
    const hiveshape::Generated g = hiveshape::Generate(shape, limits, writer);
    writer.EndKey();
    std::vector<std::uint8_t> file = writer.Finish();
    if (stats) {
        hiveshape::HiveShape measured;
        hive::ReadHive({argv[1], file}, {}, measured);
        std::printf(
            "key_name=%.1f value_name=%.1f values_per_key=%.2f median=%u p90=%u largest=%u sz=%.3f "
            "dword=%.3f binary=%.3f multi_sz=%.3f expand_sz=%.3f device_properties=%.3f max_depth=%d "
            "mean_depth=%.1f\n",
            measured.KeyNameLength(), measured.ValueNameLength(), measured.ValuesPerKey(), measured.SizePercentile(50),
            measured.SizePercentile(90), measured.LargestValue(), measured.TypeShare(1), measured.TypeShare(4),
            measured.TypeShare(3), measured.TypeShare(7), measured.TypeShare(2), measured.DevicePropertyShare(),
            measured.MaxDepth(), measured.MeanDepth());
    }
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
