// The resources of the built versioninfo.exe, read out of the file as Windows reads them: the
// manifest names the architecture the .exe is built for, and the icon is there in the sizes the
// caption bar, Explorer and Alt+Tab take.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class ProgramResources : public testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(L"versioninfo.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << "versioninfo.exe not found in the working folder: " << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    std::string Resource(LPCSTR type, LPCSTR name) const {
        const HRSRC found = FindResourceA(module_, name, type);
        if (found == nullptr) return {};
        const HGLOBAL loaded = LoadResource(module_, found);
        const auto* data = static_cast<const char*>(LockResource(loaded));
        return data != nullptr ? std::string(data, SizeofResource(module_, found)) : std::string();
    }

    HMODULE module_ = nullptr;
};

// The architecture the running test program (and so the .exe of the same build) is built for.
#if defined(__x86_64__)
constexpr const char* kArchitecture = "amd64";
#elif defined(__i386__)
constexpr const char* kArchitecture = "x86";
#endif

TEST_F(ProgramResources, ManifestNamesTheArchitectureOfTheBuild) {
    const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEA(1));
    ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";
    // The program's own identity comes first; the common-controls dependency says "*".
    const size_t identity = manifest.find("<assemblyIdentity");
    ASSERT_NE(identity, std::string::npos);
    const std::string own = manifest.substr(identity, manifest.find("/>", identity) - identity);
    EXPECT_NE(own.find(std::string("processorArchitecture=\"") + kArchitecture + "\""), std::string::npos) << own;

    for (const char* expected : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                 "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                 "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "PerMonitorV2, PerMonitor",
                                 "Microsoft.Windows.Common-Controls", "level=\"asInvoker\""})
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
}

TEST_F(ProgramResources, IconHasTheSizesWindowsShows) {
    // The icon group: a 6-byte header, then 14 bytes per image, width first (0 means 256).
    const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEA(1));
    ASSERT_GE(group.size(), 6u) << "no icon group resource 1";
    const size_t count = static_cast<unsigned char>(group[4]) | static_cast<unsigned char>(group[5]) << 8;
    ASSERT_EQ(group.size(), 6 + 14 * count);
    std::vector<int> widths;
    for (size_t i = 0; i < count; ++i) {
        const int width = static_cast<unsigned char>(group[6 + 14 * i]);
        widths.push_back(width == 0 ? 256 : width);
    }
    for (const int size : {16, 32, 48, 256})
        EXPECT_NE(std::find(widths.begin(), widths.end(), size), widths.end()) << size << " pixels missing";
}

}  // namespace
