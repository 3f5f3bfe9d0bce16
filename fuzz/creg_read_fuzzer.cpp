// The Windows 9x registry reader on any bytes: it reads or refuses naming the file, in a single-byte
// and in a multi-byte code page; what it reads is a well-formed tree, every key begun and ended.
#include "../tests/hive/hive_kit.h"
#include "win9x.h"

#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "creg_read_fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (unsigned codePage : {1252u, 932u}) {
        hivekit::Collect tree;
        try {
            win9x::ReadRegistryFile({"fuzz.dat", "", std::span<const std::uint8_t>(data, size)}, tree, codePage);
        } catch (const win9x::CregError& e) {
            Check(std::string(e.what()).rfind("fuzz.dat: ", 0) == 0, "a refusal that does not name the file");
            continue;
        }
        Check(tree.open.empty() && tree.keys > 0, "keys begun and not ended");
    }
    return 0;
}
