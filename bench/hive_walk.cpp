// Reads a hive with its logs and walks every key and value, as an import does before it stores
// anything: the reader's side of the comparison with `hivexml FILE >/dev/null`.
//   hive_walk FILE
#include "command_line.h"
#include "hive.h"

#include <cstdio>
#include <string>

namespace {

struct Count : hive::Visitor {
    unsigned long keys = 0, values = 0, bytes = 0;
    void BeginKey(std::u16string_view name, std::u16string_view, std::uint64_t) override {
        ++keys, bytes += name.size();
    }
    void Value(std::u16string_view name, std::uint32_t, std::span<const std::uint8_t> data) override {
        ++values, bytes += name.size() + data.size();
    }
    void EndKey() override {}
};

}  // namespace

static int Main(int argc, char** argv) {
    CLI::App app("Reads a hive with its logs and walks every key and value.", "hive_walk");
    std::string file;
    app.add_option("FILE", file, "the hive")->required();
    if (const auto status = bench::ParseLine(app, argc, argv)) return *status;
    Count count;
    try {
        const auto report = hive::ReadHiveFile(file, count);
        for (const auto& w : report.warnings) std::fprintf(stderr, "warning: %s\n", w.c_str());
    } catch (const hive::HiveError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("%lu keys, %lu values, %lu name and data units\n", count.keys, count.values, count.bytes);
    return 0;
}

int main(int argc, char** argv) {
    return bench::Guarded("hive_walk", Main, argc, argv);
}
