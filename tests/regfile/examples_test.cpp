// Every example installation, imported into an empty store, gives the version code it states
// through the window's own sequence: the product name first, then the version record.
#include "modWindowsVersion.h"
#include "reg_file.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Example {
    const char* file;
    int code;
};
void PrintTo(const Example& e, std::ostream* os) {
    *os << e.file << " (" << e.code << ")";
}

const std::vector<Example> kExamples{
    {"windows-95-osr2.reg", 3},
    {"windows-98-se.reg", 6},
    {"windows-me.reg", 7},
    {"windows-2000-server.reg", 10},
    {"windows-2000-advanced-server-dc.reg", 11},
    {"windows-xp-sp3.reg", 12},
    {"windows-vista-sp2.reg", 14},
    {"windows-7-sp1.reg", 15},
    {"windows-server-2008-r2.reg", 16},
    {"windows-8.1.reg", 17},
    {"windows-server-2012-r2.reg", 18},
    {"windows-10-22h2.reg", 19},
    {"windows-11-23h2.reg", 19},
    {"windows-server-2016.reg", 20},
    {"windows-server-2019.reg", 21},
    {"windows-server-2022.reg", 22},
};

std::string Read(const std::string& name) {
    std::ifstream in(std::string(EXAMPLES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class ExampleTest : public RegistryTest, public ::testing::WithParamInterface<Example> {};

TEST_P(ExampleTest, ImportedExampleGivesItsVersionCode) {
    const std::string bytes = Read(GetParam().file);
    ASSERT_FALSE(bytes.empty());
    const auto result = regfile::Apply(regfile::Parse(bytes));
    ASSERT_EQ(result.code, ERROR_SUCCESS);
    EXPECT_EQ(GetWindowsVersion(), GetParam().code);
}

TEST_P(ExampleTest, CommentStatesTheSameCode) {
    const std::string bytes = Read(GetParam().file);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(bytes, m, std::regex("; .*version code ([0-9]+)"))) << GetParam().file;
    EXPECT_EQ(std::stoi(m[1]), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Releases, ExampleTest, ::testing::ValuesIn(kExamples), [](const auto& info) {
    std::string name = info.param.file;
    name = name.substr(0, name.size() - 4);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

TEST(Examples, EveryExampleFileIsChecked) {
    std::set<std::string> listed, present;
    for (const auto& e : kExamples) listed.insert(e.file);
    for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR))
        if (entry.path().extension() == ".reg") present.insert(entry.path().filename().string());
    EXPECT_EQ(present, listed);
}

}  // namespace
