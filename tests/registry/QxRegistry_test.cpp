// The registry class against a real registry: the portable store, or Windows' own.
#include "QxRegistry.h"
#include "raised_error.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace std::string_literals;

namespace {

class QxRegistryTest : public RegistryTest {
protected:
    QxRegistry reg;
    void OpenTestKey() { ASSERT_TRUE(reg.OpenKey(KeyPath(), Root())); }
};

void ExpectNotInitialized(const std::function<void()>& operation) {
    try {
        operation();
        ADD_FAILURE() << "expected error 1777";
    } catch (const RaisedError& e) {
        EXPECT_EQ(e.Number(), 1777);
        EXPECT_EQ(e.Source(), "Class QxRegistry not Initialized.");
    }
}

TEST_F(QxRegistryTest, CloseKeyReportsWhetherAKeyWasOpen) {
    EXPECT_FALSE(reg.CloseKey()) << "a new object holds no key";
    OpenTestKey();
    EXPECT_TRUE(reg.CloseKey());
    EXPECT_FALSE(reg.CloseKey()) << "the second close has nothing to close";
}

TEST_F(QxRegistryTest, ValueReadsBeforeAnyOpenRaise1777EvenWithADefault) {
    Put("Name", REG_SZ, Sz("value"));
    ExpectNotInitialized([&] { reg.GetStringValue("Name", "default"); });
    ExpectNotInitialized([&] { reg.GetExpandStringValue("Name", "default"); });
    ExpectNotInitialized([&] { reg.GetMultiStringValue("Name", "default"); });
}

TEST_F(QxRegistryTest, FailedOpenOfAMissingKeyRaisesNothing) {
    EXPECT_FALSE(reg.OpenKey(KeyPath() + "\\Missing", Root()));
    ExpectNotInitialized([&] { reg.GetStringValue("Name", ""); });
}

TEST_F(QxRegistryTest, OpenClosesTheHeldKeyFirstEvenWhenTheNewOpenFails) {
    Put("Name", REG_SZ, Sz("value"));
    OpenTestKey();
    EXPECT_FALSE(reg.OpenKey(KeyPath() + "\\Missing", Root()));
    // Still initialized, but no key: reads give their default instead of 1777 or the old key's value.
    EXPECT_EQ(reg.GetStringValue("Name", "default"), "default");
    EXPECT_FALSE(reg.CloseKey());
}

TEST_F(QxRegistryTest, AfterCloseReadsGiveDefaults) {
    Put("Name", REG_SZ, Sz("value"));
    OpenTestKey();
    EXPECT_EQ(reg.GetStringValue("Name", ""), "value");
    ASSERT_TRUE(reg.CloseKey());
    EXPECT_EQ(reg.GetStringValue("Name", "default"), "default");
}

TEST_F(QxRegistryTest, CreateKeyMakesTheWholePathAndOpensExistingKeys) {
    const std::string path = KeyPath() + "\\New\\Deeper";
    ASSERT_TRUE(reg.CreateKey(path, Root()));
    ASSERT_TRUE(reg.CloseKey());
    QxRegistry other;
    EXPECT_TRUE(other.OpenKey(path, Root())) << "the created key persists";
    EXPECT_TRUE(reg.CreateKey(path, Root())) << "creating an existing key opens it";
}

TEST_F(QxRegistryTest, KeyPathsAndValueNamesIgnoreCase) {
    Put("ProductName", REG_SZ, Sz("value"));
    std::string shouted = KeyPath();
    for (char& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(reg.OpenKey(shouted, Root()));
    EXPECT_EQ(reg.GetStringValue("PRODUCTNAME", ""), "value");
}

struct StringReadCase {
    const char* label;
    DWORD storedType;
    std::string storedBytes;
    std::string (QxRegistry::*read)(const std::string&, const std::string&);
    std::string expected;
};

void PrintTo(const StringReadCase& c, std::ostream* os) {
    *os << c.label;
}

class StringReads : public QxRegistryTest, public ::testing::WithParamInterface<StringReadCase> {};

TEST_P(StringReads, ReadAsStored) {
    const auto& c = GetParam();
    Put("V", c.storedType, c.storedBytes);
    OpenTestKey();
    EXPECT_EQ((reg.*c.read)("V", "default"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringReads,
    ::testing::Values(
        StringReadCase{"Plain", REG_SZ, "Windows 10 Pro\0"s, &QxRegistry::GetStringValue, "Windows 10 Pro"},
        StringReadCase{"OnlyTheNul", REG_SZ, "\0"s, &QxRegistry::GetStringValue, ""},
        StringReadCase{"NoBytes", REG_SZ, ""s, &QxRegistry::GetStringValue, "default"},
        // Stored without its NUL, the string keeps its last character.
        StringReadCase{"Unterminated", REG_SZ, "Windows 10 Pro"s, &QxRegistry::GetStringValue, "Windows 10 Pro"},
        StringReadCase{"OwnNulKept", REG_SZ, "ab\0\0"s, &QxRegistry::GetStringValue, "ab\0"s},
        StringReadCase{"AnsiConverted", REG_SZ, "Caf\xE9 \x80\0"s, &QxRegistry::GetStringValue, "Café €"},
        StringReadCase{"ExpandNotPlain", REG_EXPAND_SZ, "%SystemRoot%\0"s, &QxRegistry::GetStringValue, "default"},
        StringReadCase{"ExpandUnexpanded", REG_EXPAND_SZ, "%SystemRoot%\\x\0"s, &QxRegistry::GetExpandStringValue,
                       "%SystemRoot%\\x"},
        StringReadCase{"PlainNotExpand", REG_SZ, "text\0"s, &QxRegistry::GetExpandStringValue, "default"},
        StringReadCase{"Multi", REG_MULTI_SZ, "a\0b\0\0"s, &QxRegistry::GetMultiStringValue, "a\0b\0"s},
        StringReadCase{"MultiNotPlain", REG_MULTI_SZ, "a\0b\0\0"s, &QxRegistry::GetStringValue, "default"},
        StringReadCase{"DwordNotString", REG_DWORD, "\x05\0\0\0"s, &QxRegistry::GetStringValue, "default"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(QxRegistryTest, MissingValueGivesTheDefault) {
    OpenTestKey();
    EXPECT_EQ(reg.GetStringValue("Missing", "default"), "default");
    EXPECT_EQ(reg.GetMultiStringValue("Missing", ""), "");
}

TEST_F(QxRegistryTest, ValueNamesConvertToTheAnsiCodePage) {
    Put("Caf\xE9", REG_SZ, Sz("ok"));
    OpenTestKey();
    EXPECT_EQ(reg.GetStringValue("Café", ""), "ok");
}

}  // namespace
