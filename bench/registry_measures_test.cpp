// The benchmarks measure what they say: the generated data have the shape scripts/bench also
// writes, and every measure does its operation (a refused or empty one would time nothing).
#include "registry_measures.h"
#include "registry_store.h"
#include "registry_test.h"

#include <string>

namespace {

class RegistryMeasuresTest : public RegistryTest {};

// One transaction, as the benchmarks fill their stores: a write of its own each would take minutes.
LONG Fill(std::size_t values) {
    return RunInStoreTransaction([=] { return bench::FillValues(values); });
}

std::optional<std::string> Read(const std::string& path, const char* name, DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    char data[256];
    DWORD size = sizeof data, kind = 0;
    const LONG rc = RegQueryValueExA(key, name, nullptr, &kind, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    if (type != nullptr) *type = kind;
    return std::string(data, size);
}

TEST_F(RegistryMeasuresTest, FillMakesKeysOfTenValuesInGroupsOfAHundred) {
    ASSERT_EQ(Fill(1205), ERROR_SUCCESS);  // 121 keys, the last one in the second group
    EXPECT_EQ(bench::DataKeyPath(120), "Software\\versioninfo-bench\\data\\g0001\\k0000120");
    for (const std::size_t k : {0u, 99u, 120u}) {
        DWORD type = 0;
        EXPECT_EQ(Read(bench::DataKeyPath(k), "v0", &type), bench::DataString(k, 0) + '\0') << k;
        EXPECT_EQ(type, DWORD{REG_SZ});
        EXPECT_EQ(Read(bench::DataKeyPath(k), "v9", &type), Dword(static_cast<DWORD>(k * 10 + 9))) << k;
        EXPECT_EQ(type, DWORD{REG_DWORD});
    }
    EXPECT_EQ(Read(bench::DataKeyPath(121), "v0"), std::nullopt);

    HKEY group = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\versioninfo-bench\\data\\g0001", 0, KEY_READ, &group),
              ERROR_SUCCESS);
    DWORD subKeys = 0;
    EXPECT_EQ(RegQueryInfoKeyA(group, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 21u);
    RegCloseKey(group);
}

TEST_F(RegistryMeasuresTest, EveryMeasureSucceedsOnGeneratedData) {
    ASSERT_EQ(Fill(100), ERROR_SUCCESS);
    bench::Session session(100);
    ASSERT_TRUE(session.Ready());
    for (const bench::Measure& measure : bench::Measures())
        for (std::uint64_t i = 0; i < 3; ++i) EXPECT_TRUE(measure.run(session, i)) << measure.id << " call " << i;

    // The writes landed: the last of each, and one new key per CreateKey call.
    EXPECT_EQ(Read("Software\\versioninfo-bench\\writes", "Count"), Dword(2));
    EXPECT_EQ(Read("Software\\versioninfo-bench\\writes", "Text"), Sz("another benchmark text"));
    EXPECT_EQ(session.created, 3u);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\versioninfo-bench\\created\\c2", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryMeasuresTest, ReadsFailWithoutTheGeneratedData) {
    bench::Session session(100);  // nothing was filled
    EXPECT_FALSE(session.Ready());
    for (const bench::Measure& measure : bench::Measures()) {
        const std::string id = measure.id;
        if (id == "open_query_close" || id == "query_open_key" || id == "query_dword") {
            EXPECT_FALSE(measure.run(session, 0)) << id;
        }
    }
}

}  // namespace
