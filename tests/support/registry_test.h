#pragma once
#include "winapi.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// A private corner of the registry for one test: in the portable build a new temporary store (built
// with VERSIONINFO_MEMORY_REGISTRY, a registry in memory instead), and in it (or in the real
// registry) a fresh test key under HKEY_CURRENT_USER, removed afterwards.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static HKEY Root() { return HKEY_CURRENT_USER; }
    const std::string& KeyPath() const { return keyPath_; }

    struct Stored {
        DWORD type;
        std::string bytes;
        bool operator==(const Stored&) const = default;
    };
    // Raw access to values under the test key, around the class under test.
    void Put(const std::string& name, DWORD type, std::string_view bytes);
    std::optional<Stored> Get(const std::string& name);

#ifndef _WIN32
    const std::string& StoreDir() const {
        return storeDir_;
    }
    const std::string& StorePath() const {
        return storePath_;
    }
    // Writes values under HKEY_LOCAL_MACHINE\path in the temporary store.
    void PutMachine(const std::string& path, const std::string& name, DWORD type, std::string_view bytes);
#endif

private:
    std::string keyPath_;
#ifndef _WIN32
    std::shared_ptr<class ScopedMemoryRegistry> memory_;
    std::string storeDir_;
    std::string storePath_;
#endif
};

// Helpers for building value data.
std::string Sz(std::string_view text);  // the text and one NUL
std::string Dword(DWORD value);
