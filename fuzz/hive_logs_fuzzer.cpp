// A hive with two logs beside it, all three from the input (see hivekit::Pack): whatever the logs
// hold, reading replays or skips them and reads or refuses naming the file; the logs give the same
// result in either order.
#include "hive_kit.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "hive_logs_fuzzer: %s\n", what);
        std::abort();
    }
}

std::string Read(std::span<const std::uint8_t> primary, std::vector<hive::NamedBytes> logs) {
    hivekit::Dump dump;
    try {
        const auto report = hive::ReadHive({"SYSTEM", primary}, logs, dump);
        Check(dump.depth == 0 && dump.maxDepth <= 512, "keys not ended, or nested too deep");
        std::string applied;
        for (const auto& name : report.logsApplied) applied += name + ";";
        return applied + "\n" + dump.text;
    } catch (const hive::HiveError& e) {
        Check(std::string(e.what()).rfind("SYSTEM: ", 0) == 0, "a refusal that does not name the file");
        return e.what();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto files = hivekit::Unpack({data, size}, 3);
    if (files.size() < 3) return 0;
    const std::string forward = Read(files[0], {{"SYSTEM.LOG1", files[1]}, {"SYSTEM.LOG2", files[2]}});
    const std::string backward = Read(files[0], {{"SYSTEM.LOG2", files[2]}, {"SYSTEM.LOG1", files[1]}});
    Check(forward == backward, "the order the logs are given in changes the result");
    return 0;
}
