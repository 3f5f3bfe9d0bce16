// Which file is at the store's path: another one taking its place, however it came, is noticed.
#include "store_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class StoreFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("store_file_test." + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Make(const char* name) {
        const fs::path path = dir_ / name;
        std::ofstream(path) << name;
        return path.string();
    }
    fs::path dir_;
};

TEST_F(StoreFileTest, AnotherFileAtThePathIsAnotherNumber) {
    const std::string path = Make("registry.db");
    store::FileIdentity file;
    ASSERT_TRUE(file.Open(path, true));
    const auto first = file.Number();
    EXPECT_FALSE(file.Replaced());
    ASSERT_TRUE(file.Open(path, true));  // the same file looked at again
    EXPECT_EQ(file.Number(), first);

    fs::rename(Make("other.db"), path);  // renamed over
    EXPECT_TRUE(file.Replaced());
    const auto renamed = file.Number();
    EXPECT_NE(renamed, first);
    EXPECT_TRUE(file.Replaced());  // still gone, and counted once
    EXPECT_EQ(file.Number(), renamed);
    ASSERT_TRUE(file.Open(path, true));  // the new file is the one noted from now on
    EXPECT_EQ(file.Number(), renamed);

    fs::remove(path);
    EXPECT_FALSE(file.Open(path, true));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(file.Number(), renamed);
}

TEST_F(StoreFileTest, FolderOfAPath) {
    EXPECT_EQ(store::DirectoryOf("/var/lib/versioninfo/registry.db"), "/var/lib/versioninfo");
    EXPECT_EQ(store::DirectoryOf("/registry.db"), "/");
    EXPECT_EQ(store::DirectoryOf("registry.db"), ".");
}

}  // namespace
