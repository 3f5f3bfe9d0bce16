// A few keys of a hive read on demand (hive::ReadHiveKeys), on any bytes: never a crash; a hive the
// whole reader reads is read on demand too (its checks are the whole reader's, fewer), and gives
// the same keys and values as the whole reader's walk kept to those keys. The keys asked for are
// found in the whole reader's tree: the first key at each depth, and the last key of the root, and
// every subkey of the root's first and last keys.
#include "hive_kit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "hive_keys_fuzzer: %s\n", what);
        std::abort();
    }
}

using Paths = std::vector<std::vector<std::u16string>>;

Paths PathsOf(const hivekit::Node& root) {
    Paths paths{{}};
    std::vector<std::u16string> first;
    for (const hivekit::Node* at = &root; !at->children.empty() && first.size() < 8; at = &at->children.front()) {
        first.push_back(at->children.front().name);
        paths.push_back(first);
    }
    if (root.children.size() > 1) paths.push_back({root.children.back().name, u"missing"});
    // Every subkey: of the first key (beside the named path through it), and of the last key.
    if (!root.children.empty()) {
        paths.push_back({root.children.front().name, std::u16string(hive::kAnySubkey)});
        paths.push_back({root.children.back().name, std::u16string(hive::kAnySubkey)});
    }
    return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto read = [&](std::uint64_t offset, void* out, std::size_t length) {
        if (offset > size || length > size - offset) throw hive::HiveError("fuzz.hive: read past its end");
        std::memcpy(out, data + offset, length);
    };
    hivekit::Collect whole;
    bool wholeRead = true;
    try {
        hive::ReadHive({"fuzz.hive", bytes}, {}, whole);
    } catch (const hive::HiveError&) {
        wholeRead = false;
    }
    const Paths paths = wholeRead ? PathsOf(whole.root) : Paths{{}, {u"Microsoft", u"Windows NT", u"CurrentVersion"}};
    hivekit::Collect onDemand;
    try {
        hive::ReadHiveKeys("fuzz.hive", size, read, {}, paths, onDemand);
    } catch (const hive::HiveError& e) {
        Check(!wholeRead, "a hive the whole reader reads, refused on demand");
        Check(std::string(e.what()).rfind("fuzz.hive", 0) == 0, "a refusal that does not name the file");
        return 0;
    }
    if (!wholeRead) return 0;
    hivekit::Collect kept;
    hivekit::KeepPaths keep(paths, kept);
    hive::ReadHive({"fuzz.hive", bytes}, {}, keep);
    Check(onDemand.keys > 0 && hivekit::Expect(onDemand.root) == hivekit::Expect(kept.root),
          "keys on demand unlike the whole reader's");
    return 0;
}
