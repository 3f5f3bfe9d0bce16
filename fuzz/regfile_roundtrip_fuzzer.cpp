// Import -> export -> import gives the same store. A file that reads is applied to an empty
// temporary store, which must take all of it; every root is exported; the exports, applied to an
// empty store again, must read and give the same keys, values, types and bytes. Each run's
// transactions are rolled back, so every input starts from an empty store.
#include "reg_file.h"
#include "registry_store.h"
#include "text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr LONG kRollBack = 1223;  // any failure: RunInStoreTransaction then keeps nothing

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "regfile_roundtrip_fuzzer: %s\n", what.c_str());
    std::abort();
}

const HKEY kRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG};

// Every key of the store by its path (in the stored spelling), with its values in enumeration order.
using Snapshot = std::map<std::string, std::vector<regfile::StoredValue>>;

void Collect(HKEY root, const std::string& path, Snapshot& out) {
    HKEY h = nullptr;
    if (const LONG rc = regfile::OpenPath(root, path, KEY_READ, h); rc != ERROR_SUCCESS)
        Fail("cannot open " + path + ": " + std::to_string(rc));
    const std::string name = std::string(regfile::RootName(root)) + (path.empty() ? "" : "\\" + path);
    std::vector<std::string> children;
    if (regfile::ReadValues(h, out[name]) != ERROR_SUCCESS || regfile::ReadSubKeyNames(h, children) != ERROR_SUCCESS)
        Fail("cannot read " + name);
    RegCloseKey(h);
    for (const auto& c : children) Collect(root, path.empty() ? c : path + "\\" + c, out);
}

Snapshot Take() {
    Snapshot s;
    for (HKEY root : kRoots) Collect(root, "", s);
    return s;
}

Snapshot EmptyStore() {
    Snapshot s;
    for (HKEY root : kRoots) s[std::string(regfile::RootName(root))];
    return s;
}

// In memory where there is such a file system: the store is written for every input.
char temporaryFolder[] = "/dev/shm/regfile_roundtrip_fuzzer.XXXXXX";  // plain, so it outlives every static

void UseTemporaryStore() {
    static const bool once = [] {
        if (mkdtemp(temporaryFolder) == nullptr) {
            std::snprintf(temporaryFolder, sizeof temporaryFolder, "/tmp/regfile_roundtrip.XXXXXX");
            if (mkdtemp(temporaryFolder) == nullptr) Fail("cannot make a temporary folder");
        }
        std::atexit([] { std::filesystem::remove_all(temporaryFolder); });
        // Also where a store of the user's own would be looked for: never the real one.
        setenv("XDG_DATA_HOME", temporaryFolder, 1);
        UseRegistryStore(std::string(temporaryFolder) + "/registry.db");
        return true;
    }();
    (void)once;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    regfile::RegFile file;
    try {
        file = regfile::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const regfile::ParseError&) {
        return 0;
    }
    UseTemporaryStore();

    Snapshot before;
    std::vector<std::string> exports;
    RunInStoreTransaction([&]() -> LONG {
        // What reads must be written: a write the store refuses is a fault the reader should have named
        // with its place in the file, not "cannot write the store".
        if (const auto result = regfile::Apply(file); result.code != ERROR_SUCCESS)
            Fail("the store refused line " + std::to_string(result.where.line) +
                 " of a file that reads: " + std::to_string(result.code));
        before = Take();
        for (HKEY root : kRoots) {
            std::string bytes, refusal;
            if (const LONG rc = regfile::Export({root, ""}, bytes, &refusal); rc != ERROR_SUCCESS)
                Fail("export of " + std::string(regfile::RootName(root)) + " failed: " + std::to_string(rc) + " " +
                     refusal);
            exports.push_back(bytes);
        }
        return kRollBack;
    });

    Snapshot after;
    RunInStoreTransaction([&]() -> LONG {
        if (Take() != EmptyStore()) Fail("a rolled-back import left something in the store");
        for (const auto& bytes : exports) {
            regfile::RegFile again;
            try {
                again = regfile::Parse(bytes);
            } catch (const regfile::ParseError& e) {
                Fail("an export does not read: " + std::to_string(e.where.line) + ":" + std::to_string(e.where.column) +
                     ": " + e.what());
            }
            const auto result = regfile::Apply(again);
            if (result.code != ERROR_SUCCESS)
                Fail("an export does not import: line " + std::to_string(result.where.line) + ": " +
                     std::to_string(result.code));
        }
        after = Take();
        return kRollBack;
    });
    if (after != before) {
        for (const auto& [key, values] : before)
            if (!after.count(key) || after.at(key) != values) std::fprintf(stderr, "differs: %s\n", key.c_str());
        for (const auto& [key, values] : after)
            if (!before.count(key)) std::fprintf(stderr, "only after: %s\n", key.c_str());
        Fail("import -> export -> import changed the store");
    }
    return 0;
}
