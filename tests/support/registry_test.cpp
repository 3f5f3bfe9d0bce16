#include "registry_test.h"

#ifndef _WIN32
#include "memory_registry.h"
#include "registry_store.h"

#include <cstdlib>
#include <filesystem>
#endif

#include <atomic>
#include <cstring>

namespace {

constexpr const char* kTestsKey = "Software\\VersionInfoTests";

HKEY CreateOrFail(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    EXPECT_EQ(rc, ERROR_SUCCESS) << "creating " << path;
    return key;
}

void PutUnder(HKEY root, const std::string& path, const std::string& name, DWORD type, std::string_view bytes) {
    HKEY key = CreateOrFail(root, path);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

void RegistryTest::SetUp() {
    static std::atomic<int> counter{0};
#ifndef _WIN32
    std::string pattern = (std::filesystem::temp_directory_path() / "versioninfo-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    storeDir_ = pattern;
    storePath_ = storeDir_ + "/registry.db";
    UseRegistryStore(storePath_);
#ifdef VERSIONINFO_MEMORY_REGISTRY
    memory_ = std::make_shared<ScopedMemoryRegistry>();
#endif
#endif
#ifdef _WIN32
    // The real registry is shared by every process: tests run side by side must not meet. Each key
    // sits right under Software, which always exists: under a common parent that the last test out
    // deletes, a key being created in the deleted parent fails (ERROR_KEY_DELETED), because
    // RegCreateKeyEx creates a missing path one key at a time.
    keyPath_ = std::string(kTestsKey) + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    // Left behind by a crashed process that had the same id.
    RegDeleteTreeA(Root(), keyPath_.c_str());
#else
    keyPath_ = std::string(kTestsKey) + "\\Test" + std::to_string(++counter);
#endif
    HKEY key = CreateOrFail(Root(), keyPath_);
    if (key != nullptr) RegCloseKey(key);
}

void RegistryTest::TearDown() {
#ifdef _WIN32
    // Handles a test left open do not keep the keys alive: deletion marks them deleted.
    const LONG rc = RegDeleteTreeA(Root(), keyPath_.c_str());
    EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << "removing " << keyPath_ << ": " << rc;
    EXPECT_EQ(RegDeleteKeyA(Root(), keyPath_.c_str()), ERROR_FILE_NOT_FOUND) << keyPath_ << " is still there";
#else
    memory_.reset();
    UseRegistryStore(DefaultRegistryStorePath());
    std::error_code ignored;
    std::filesystem::permissions(storeDir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(storeDir_, ignored);
#endif
}

void RegistryTest::Put(const std::string& name, DWORD type, std::string_view bytes) {
    PutUnder(Root(), keyPath_, name, type, bytes);
}

std::optional<RegistryTest::Stored> RegistryTest::Get(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(), keyPath_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<Stored> out;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size + 1, '\0');
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS) {
            bytes.resize(size);
            out = Stored{type, bytes};
        }
    }
    RegCloseKey(key);
    return out;
}

#ifndef _WIN32
void RegistryTest::PutMachine(const std::string& path, const std::string& name, DWORD type, std::string_view bytes) {
    PutUnder(HKEY_LOCAL_MACHINE, path, name, type, bytes);
}
#endif

std::string Sz(std::string_view text) {
    return std::string(text) + '\0';
}

std::string Dword(DWORD value) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}
