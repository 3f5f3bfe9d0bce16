// The load sequence against a temporary store and a window that records what it is told.
#include "Form1.h"
#include "raised_error.h"
#include "recording_surface.h"
#include "registry_store.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr const char* kNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9x = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kOptions = "System\\CurrentControlSet\\Control\\ProductOptions";

class FormLoad : public RegistryTest {
protected:
    RecordingSurface window;

    void Load() { Form1(window).Form_Load(); }
    void ExpectShown(const std::array<std::string, 5>& texts, const std::string& caption) {
        EXPECT_EQ(window.texts, texts);
        EXPECT_EQ(window.caption, caption);
    }
    void Windows10Pro() {
        PutMachine(kNt, "ProductName", REG_SZ, Sz("Windows 10 Pro"));
        PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("6.3"));
        PutMachine(kNt, "CurrentMajorVersionNumber", REG_DWORD, Dword(10));
        PutMachine(kNt, "CurrentMinorVersionNumber", REG_DWORD, Dword(0));
        PutMachine(kNt, "CurrentBuildNumber", REG_SZ, Sz("19045"));
        PutMachine(kOptions, "ProductType", REG_SZ, Sz("WinNT"));
    }
};

TEST_F(FormLoad, FullInstallation) {
    Windows10Pro();
    Load();
    ExpectShown({"10", "0", " (0)", "1", "WINDOWS 10 PRO"}, "19");
}

TEST_F(FormLoad, ServicePackTextAndNumber) {
    PutMachine(kNt, "ProductName", REG_SZ, Sz("Microsoft Windows XP"));
    PutMachine(kNt, "CurrentVersion", REG_SZ, Sz("5.1"));
    PutMachine(kNt, "CSDVersion", REG_SZ, Sz("Service Pack 3"));
    PutMachine(kOptions, "ProductType", REG_SZ, Sz("WinNT"));
    Load();
    ExpectShown({"5", "1", "Service Pack 3 (3)", "1", "MICROSOFT WINDOWS XP"}, "12");
}

TEST_F(FormLoad, FieldsAreFilledInOrderBeforeTheCaptionAndTheName) {
    Windows10Pro();
    Load();
    EXPECT_EQ(window.calls,
              (std::vector<std::string>{"Text1", "Text2", "Text3", "Text3", "Text4", "caption", "Text5"}));
}

TEST_F(FormLoad, EmptyStore) {
    Load();
    ExpectShown({"0", "0", " (0)", "0", "Unknow"}, "1");
}

TEST_F(FormLoad, KeyMissingOnA9xInstallation) {
    PutMachine(k9x, "VersionNumber", REG_SZ, Sz("4.10.2222"));
    PutMachine(k9x, "SubVersionNumber", REG_SZ, Sz(" A "));
    Load();
    ExpectShown({"4", "10", " A  (0)", "0", "Unknow"}, "6");
}

TEST_F(FormLoad, ProductNameOfAnotherTypeShowsEmptyAndFallsBack) {
    Windows10Pro();
    PutMachine(kNt, "ProductName", REG_EXPAND_SZ, Sz("Windows 7 Professional"));
    Load();
    ExpectShown({"10", "0", " (0)", "1", ""}, "19");
}

TEST_F(FormLoad, StoreThisProcessMayOnlyRead) {
    Windows10Pro();
    UseRegistryStore(StorePath(), StoreAccess::ReadOnly);
    Load();
    ExpectShown({"10", "0", " (0)", "1", "WINDOWS 10 PRO"}, "19");
}

TEST_F(FormLoad, CsdTextLongerThanTheField) {
    Windows10Pro();
    PutMachine(kNt, "CSDVersion", REG_SZ, Sz(std::string(200, 'S')));
    Load();
    EXPECT_EQ(window.texts[2], std::string(127, 'S') + " (0)");
}

TEST_F(FormLoad, NonAsciiNameIsUpperCased) {
    Windows10Pro();
    PutMachine(kNt, "ProductName", REG_SZ,
               Sz("Windows 10 \xC9"
                  "dition caf\xE9"));
    Load();
    EXPECT_EQ(window.texts[4], "WINDOWS 10 ÉDITION CAFÉ");
    EXPECT_EQ(window.caption, "19");
}

TEST_F(FormLoad, CorruptStoreShowsUnknowWithoutCrashing) {
    const std::string path = StoreDir() + "/corrupt.db";
    std::ofstream(path, std::ios::binary) << "SQLite format 3\0"s << std::string(2000, '\x5A');
    UseRegistryStore(path);
    Load();
    ExpectShown({"0", "0", " (0)", "0", "Unknow"}, "1");
}

TEST_F(FormLoad, AnErrorFromTheWindowEndsTheLoad) {
    Windows10Pro();
    window.failCaption = true;
    try {
        Load();
        ADD_FAILURE() << "the error should reach the caller";
    } catch (const RaisedError& e) {
        EXPECT_EQ(e.Number(), 380);
    }
    EXPECT_EQ(window.texts[4], "") << "nothing after the failing step ran";
}

TEST(Form1Surface, TextBoxesKeepOnlyWhatPrecedesANul) {
    RecordingSurface surface;
    surface.SetText(Form1Surface::TextBox::Text3, "Service Pack 1\0\0garbage"s);
    EXPECT_EQ(surface.GetText(Form1Surface::TextBox::Text3), "Service Pack 1");
    surface.SetText(Form1Surface::TextBox::Text1, "\0hidden"s);
    EXPECT_EQ(surface.GetText(Form1Surface::TextBox::Text1), "");
}

}  // namespace
