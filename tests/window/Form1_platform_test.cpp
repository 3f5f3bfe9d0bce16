// The load sequence on the platform it runs on (Windows' own registry and version query under
// Wine, a seeded temporary store here): every field must show what the platform reports.
#include "Form1.h"
#include "modWindowsVersion.h"
#include "recording_surface.h"
#include "registry_test.h"
#include "text.h"
#include "winapi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr const char* kNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";

class FormLoadOnThisPlatform : public RegistryTest {
protected:
    void SetUp() override {
        RegistryTest::SetUp();
#ifndef _WIN32
        PutMachine(kNt, "ProductName", REG_SZ, Sz("Windows 7 Professional"));
        PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.1"));
        PutMachine(kNt, "CSDVersion", REG_SZ, Sz("Service Pack 1"));
        PutMachine("System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", REG_SZ, Sz("WinNT"));
#endif
    }

    // The product name as the registry functions give it, read without the registry class.
    static std::string ProductNameShown() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNt, 0, KEY_READ, &key) != ERROR_SUCCESS) return "Unknow";
        std::string data(1024, '\0');
        DWORD type = 0, size = static_cast<DWORD>(data.size());
        const LONG rc =
            RegQueryValueExA(key, "ProductName", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0) return "";
        data.resize(size);
        if (data.back() == '\0') data.pop_back();
        return UCase(AnsiToText(data));
    }
};

TEST_F(FormLoadOnThisPlatform, ShowsWhatThePlatformReports) {
    OSVERSIONINFOEXA v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v)));

    RecordingSurface window;
    Form1(window).Form_Load();

    EXPECT_EQ(window.texts[0], std::to_string(static_cast<std::int32_t>(v.dwMajorVersion)));
    EXPECT_EQ(window.texts[1], std::to_string(static_cast<std::int32_t>(v.dwMinorVersion)));
    EXPECT_EQ(window.texts[2], AnsiToText(std::string(v.szCSDVersion, strnlen(v.szCSDVersion, 128))) + " (" +
                                   std::to_string(static_cast<std::int16_t>(v.wServicePackMajor)) + ")");
    EXPECT_EQ(window.texts[3], std::to_string(unsigned{v.wProductType}));
    EXPECT_EQ(window.texts[4], ProductNameShown());

    const int code = std::stoi(window.caption);
    EXPECT_EQ(window.caption, std::to_string(code)) << "a plain decimal number";
    EXPECT_EQ(code, GetWindowsVersion());
    EXPECT_GE(code, 1) << "every release these tests run on is known";
    EXPECT_LE(code, 22);
}

}  // namespace
