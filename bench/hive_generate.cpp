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
#include "command_line.h"
#include "hive.h"
#include "hive_kit.h"
#include "hive_shapes.h"

#include <cstdint>
#include <cstdio>
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

static int Main(int argc, char** argv) {
    CLI::App app("Writes a hive shaped like one Windows keeps.", "hive_generate");
    std::string path, shapeName = "system";
    hiveshape::Limits limits;
    std::uint64_t megabytes = 0;
    bool dirty = false, stats = false;
    app.add_option("FILE", path, "the hive to write")->required();
    app.add_option("--shape", shapeName, "SYSTEM (the default), SOFTWARE or NTUSER.DAT")
        ->check(CLI::IsMember({"system", "software", "user"}));
    // Where it stops: one of the two, and not both.
    CLI::Option_group* limit = app.add_option_group("limit", "where the generation stops");
    limit->add_option("--keys", limits.keys, "after N keys")->type_name("N")->check(CLI::PositiveNumber);
    limit->add_option("--megabytes", megabytes, "when the cells reach about M MB")
        ->type_name("M")
        ->check(CLI::PositiveNumber);
    limit->require_option(1);
    app.add_flag("--dirty", dirty, "leave FILE behind its log FILE.LOG1, as a power cut leaves a hive");
    app.add_flag("--stats", stats, "print the statistics real hives are described by");
    if (const auto status = bench::ParseLine(app, argc, argv)) return *status;
    limits.bytes = megabytes * 1000000;
    const hiveshape::Shape shape = *hiveshape::ShapeNamed(shapeName);
    hive::Writer writer;
    writer.BeginKey(u"ROOT");
    const hiveshape::Generated g = hiveshape::Generate(shape, limits, writer);
    writer.EndKey();
    std::vector<std::uint8_t> file = writer.Finish();
    if (stats) {
        hiveshape::HiveShape measured;
        hive::ReadHive({path, file}, {}, measured);
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
        if (!Save(path + ".LOG1", log)) return 1;
        logBytes = log.size();
    }
    if (!Save(path, file)) return 1;
    std::printf("%llu keys %llu values %zu bytes %zu log bytes\n", static_cast<unsigned long long>(g.keys),
                static_cast<unsigned long long>(g.values), file.size(), logBytes);
    return 0;
}

int main(int argc, char** argv) {
    return bench::Guarded("hive_generate", Main, argc, argv);
}
