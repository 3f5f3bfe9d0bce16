// The hive reader on any bytes, without logs: it reads or refuses naming the file; what it reads
// is a well-formed tree no deeper than Windows allows; and that tree, written by the hive writer
// (when the writer takes its names), reads back the same, subkeys in Windows' order.
#include "hive_kit.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "hive_read_fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hivekit::Collect tree;
    try {
        hive::ReadHive({"fuzz.hive", {data, size}}, {}, tree);
    } catch (const hive::HiveError& e) {
        Check(std::string(e.what()).rfind("fuzz.hive: ", 0) == 0, "a refusal that does not name the file");
        return 0;
    }
    Check(tree.open.empty() && tree.keys > 0, "keys begun and not ended");
    hivekit::Bytes written;
    try {
        written = hivekit::Write(tree.root);
    } catch (const hive::HiveError&) {
        return 0;  // names no hive Windows writes may hold (two alike, a backslash, ...)
    }
    hivekit::Dump again;
    hive::ReadHive({"again", written}, {}, again);
    Check(again.text == hivekit::Expect(tree.root), "a tree that does not read back as written");
    return 0;
}
