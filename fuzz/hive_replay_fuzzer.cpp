// Log replay on any log bytes, against a dirty hive whose own bytes are sound: a log that is not
// replayed leaves the hive exactly as its primary file holds it, with a warning that names the log;
// one that is replayed gives a tree or a refusal that names the file, never a crash.
#include "hive_kit.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "hive_replay_fuzzer: %s\n", what);
        std::abort();
    }
}

const hivekit::Bytes& Primary() {
    static const hivekit::Bytes primary = hivekit::Dirty(hivekit::Write(hivekit::State(0)), 11, 10);
    return primary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const hive::NamedBytes log{"SYSTEM.LOG1", {data, size}};
    hivekit::Dump dump;
    try {
        const auto report = hive::ReadHive({"SYSTEM", Primary()}, {&log, 1}, dump);
        if (report.logsApplied.empty()) {
            Check(dump.text == hivekit::Expect(hivekit::State(0)), "a log not replayed changed the hive");
            Check(report.warnings.size() == 1 && report.warnings[0].find("SYSTEM.LOG1") != std::string::npos,
                  "a dirty hive read without its log and without a warning naming it");
        } else {
            Check(report.logsApplied == std::vector<std::string>{"SYSTEM.LOG1"}, "a log applied that was not given");
        }
    } catch (const hive::HiveError& e) {
        Check(std::string(e.what()).rfind("SYSTEM: ", 0) == 0, "a refusal that does not name the file");
    }
    return 0;
}
