// Writes, deletes and typed reads of the registry class, checked against the raw values in the store.
#include "QxRegistry.h"
#include "date.h"
#include "raised_error.h"
#include "registry_test.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace std::string_literals;
using namespace std::chrono;

namespace {

class QxRegistryValues : public RegistryTest {
protected:
    QxRegistry reg;
    void OpenTestKey() { ASSERT_TRUE(reg.OpenKey(KeyPath(), Root())); }
};

const Date kSomeDay = MakeDate(year{2001} / 5 / 17, hours{8} + minutes{30});

TEST_F(QxRegistryValues, LongsRoundTripAsFourLittleEndianBytes) {
    struct Case {
        LONG value;
        std::string bytes;
    };
    const Case cases[] = {{-1, "\xFF\xFF\xFF\xFF"s},
                          {0, "\0\0\0\0"s},
                          {2147483647, "\xFF\xFF\xFF\x7F"s},
                          {-2147483647 - 1, "\0\0\0\x80"s},
                          {0x12345678, "\x78\x56\x34\x12"s}};
    OpenTestKey();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        reg.SetLong("N", c.value);
        EXPECT_EQ(Get("N"), (Stored{REG_DWORD, c.bytes}));
        EXPECT_EQ(reg.GetLong("N", 99), c.value);
    }
}

TEST_F(QxRegistryValues, BooleansAreStoredAsMinusOneAndZero) {
    OpenTestKey();
    reg.SetBooleanValue("B", true);
    EXPECT_EQ(Get("B"), (Stored{REG_DWORD, "\xFF\xFF\xFF\xFF"s}));
    EXPECT_EQ(reg.GetLong("B", 0), -1);
    EXPECT_TRUE(reg.GetBooleanValue("B", false));

    reg.SetBooleanValue("B", false);
    EXPECT_EQ(Get("B"), (Stored{REG_DWORD, "\0\0\0\0"s}));
    EXPECT_FALSE(reg.GetBooleanValue("B", true));
}

TEST_F(QxRegistryValues, BooleanReadsAnyNonZeroLongAsTrue) {
    Put("One", REG_DWORD, Dword(1));
    Put("Zero", REG_DWORD, Dword(0));
    Put("Text", REG_SZ, Sz("1"));
    OpenTestKey();
    EXPECT_TRUE(reg.GetBooleanValue("One", false));
    EXPECT_FALSE(reg.GetBooleanValue("Zero", true));
    for (bool fallback : {true, false}) {
        EXPECT_EQ(reg.GetBooleanValue("Missing", fallback), fallback);
        EXPECT_EQ(reg.GetBooleanValue("Text", fallback), fallback);
    }
}

struct LongReadCase {
    const char* label;
    DWORD storedType;
    std::string storedBytes;
    LONG expected;  // with the default 77
};

void PrintTo(const LongReadCase& c, std::ostream* os) {
    *os << c.label;
}

class LongReads : public QxRegistryValues, public ::testing::WithParamInterface<LongReadCase> {};

TEST_P(LongReads, ReadAsStored) {
    const auto& c = GetParam();
    Put("V", c.storedType, c.storedBytes);
    OpenTestKey();
    EXPECT_EQ(reg.GetLong("V", 77), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, LongReads,
                         ::testing::Values(LongReadCase{"Exact", REG_DWORD, "\x05\0\0\0"s, 5},
                                           // Fewer bytes fill the low end; none at all is a zero, not a missing value.
                                           LongReadCase{"TwoBytes", REG_DWORD, "\x34\x12"s, 0x1234},
                                           LongReadCase{"OneHighByte", REG_DWORD, "\xFF"s, 255},
                                           LongReadCase{"NoBytes", REG_DWORD, ""s, 0},
                                           // More than a long holds is not read at all.
                                           LongReadCase{"EightBytes", REG_DWORD, "\x01\0\0\0\x02\0\0\0"s, 77},
                                           LongReadCase{"FiveBytes", REG_DWORD, "\x01\0\0\0\0"s, 77},
                                           LongReadCase{"TextFive", REG_SZ, Sz("5"), 77},
                                           LongReadCase{"Binary", REG_BINARY, "\x05\0\0\0"s, 77},
                                           LongReadCase{"Qword", REG_QWORD, "\x05\0\0\0\0\0\0\0"s, 77}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(QxRegistryValues, MissingLongGivesTheDefault) {
    OpenTestKey();
    EXPECT_EQ(reg.GetLong("Missing", -5), -5);
}

struct StringWriteCase {
    const char* label;
    void (QxRegistry::*write)(const std::string&, const std::string&);
    std::string (QxRegistry::*read)(const std::string&, const std::string&);
    std::string text;
    DWORD storedType;
    std::string storedBytes;
};

void PrintTo(const StringWriteCase& c, std::ostream* os) {
    *os << c.label;
}

class StringWrites : public QxRegistryValues, public ::testing::WithParamInterface<StringWriteCase> {};

TEST_P(StringWrites, StoreTextAndOneNulAndReadBack) {
    const auto& c = GetParam();
    OpenTestKey();
    (reg.*c.write)("S", c.text);
    EXPECT_EQ(Get("S"), (Stored{c.storedType, c.storedBytes}));
    EXPECT_EQ((reg.*c.read)("S", "default"), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringWrites,
    ::testing::Values(StringWriteCase{"Plain", &QxRegistry::SetStringValue, &QxRegistry::GetStringValue,
                                      "Windows 10 Pro", REG_SZ, "Windows 10 Pro\0"s},
                      StringWriteCase{"Empty", &QxRegistry::SetStringValue, &QxRegistry::GetStringValue, "", REG_SZ,
                                      "\0"s},
                      // A text that already ends in NUL gets another one and reads back with its own.
                      StringWriteCase{"EndsInNul", &QxRegistry::SetStringValue, &QxRegistry::GetStringValue, "ab\0"s,
                                      REG_SZ, "ab\0\0"s},
                      StringWriteCase{"Ansi", &QxRegistry::SetStringValue, &QxRegistry::GetStringValue, "Café €",
                                      REG_SZ, "Caf\xE9 \x80\0"s},
                      StringWriteCase{"Expand", &QxRegistry::SetExpandStringValue, &QxRegistry::GetExpandStringValue,
                                      "%SystemRoot%\\system32", REG_EXPAND_SZ, "%SystemRoot%\\system32\0"s},
                      StringWriteCase{"Multi", &QxRegistry::SetMultiStringValue, &QxRegistry::GetMultiStringValue,
                                      "a\0b\0"s, REG_MULTI_SZ, "a\0b\0\0"s},
                      StringWriteCase{"MultiEmpty", &QxRegistry::SetMultiStringValue, &QxRegistry::GetMultiStringValue,
                                      "", REG_MULTI_SZ, "\0"s}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(QxRegistryValues, AWriteReplacesTheValueAndItsType) {
    Put("V", REG_SZ, Sz("text"));
    OpenTestKey();
    reg.SetLong("V", 7);
    EXPECT_EQ(reg.GetStringValue("V", "default"), "default");
    reg.SetExpandStringValue("V", "x");
    EXPECT_EQ(Get("V"), (Stored{REG_EXPAND_SZ, "x\0"s}));
    EXPECT_EQ(reg.GetLong("V", -3), -3);
}

TEST_F(QxRegistryValues, DatesRoundTripToTheSecond) {
    const Date dates[] = {
        MakeDate(year{2020} / 1 / 31, hours{13} + minutes{5} + seconds{9}),
        MakeDate(year{1899} / 12 / 29, hours{23} + minutes{59} + seconds{59}),  // a second before day 0
        MakeDate(year{1899} / 12 / 30, seconds{1}),                             // a second after it
        MakeDate(year{1899} / 12 / 29, hours{6}),
        MakeDate(year{100} / 1 / 1, seconds{0}),
        MakeDate(year{9999} / 12 / 31, hours{23} + minutes{59} + seconds{59}),
    };
    OpenTestKey();
    for (const Date& date : dates) {
        const std::string text = FormatDate(date, kDatePattern);
        SCOPED_TRACE(text);
        reg.SetDateValue("D", date);
        EXPECT_EQ(Get("D"), (Stored{REG_SZ, Sz(text)}));
        EXPECT_EQ(reg.GetDateValue("D", kSomeDay), date);
    }
}

TEST_F(QxRegistryValues, DateWritesInThePatternRoundingTheSecond) {
    OpenTestKey();
    reg.SetDateValue("D", Date(-1.25));
    EXPECT_EQ(Get("D"), (Stored{REG_SZ, Sz("29/12/1899 06.00.00")}));
    reg.SetDateValue("D", Date(0.5 + 0.6 / 86400));
    EXPECT_EQ(Get("D"), (Stored{REG_SZ, Sz("30/12/1899 12.00.01")}));
    EXPECT_EQ(reg.GetDateValue("D", kSomeDay), MakeDate(year{1899} / 12 / 30, hours{12} + seconds{1}));
}

TEST_F(QxRegistryValues, DateWriteOutsideTheScaleRaisesAndWritesNothing) {
    OpenTestKey();
    try {
        reg.SetDateValue("D", Date(3e6));
        ADD_FAILURE() << "expected an overflow";
    } catch (const RaisedError& e) {
        EXPECT_EQ(e.Number(), kOverflowError);
    }
    EXPECT_EQ(Get("D"), std::nullopt);
}

TEST_F(QxRegistryValues, DateReadsOtherDateForms) {
    Put("Iso", REG_SZ, Sz("2020-01-31T13:05:09"));
    Put("DayOnly", REG_SZ, Sz("31/01/2020"));
    Put("TimeOnly", REG_SZ, Sz("13.05.09"));
    OpenTestKey();
    EXPECT_EQ(reg.GetDateValue("Iso", kSomeDay), MakeDate(year{2020} / 1 / 31, hours{13} + minutes{5} + seconds{9}));
    EXPECT_EQ(reg.GetDateValue("DayOnly", kSomeDay), MakeDate(year{2020} / 1 / 31, seconds{0}));
    EXPECT_EQ(reg.GetDateValue("TimeOnly", kSomeDay),
              MakeDate(year{1899} / 12 / 30, hours{13} + minutes{5} + seconds{9}));
}

struct EmptyDateCase {
    const char* label;
    DWORD storedType;
    std::string storedBytes;
};

void PrintTo(const EmptyDateCase& c, std::ostream* os) {
    *os << c.label;
}

class DateDefaults : public QxRegistryValues, public ::testing::WithParamInterface<EmptyDateCase> {};

TEST_P(DateDefaults, GiveTheCallersDate) {
    const auto& c = GetParam();
    Put("D", c.storedType, c.storedBytes);
    OpenTestKey();
    EXPECT_EQ(reg.GetDateValue("D", kSomeDay), kSomeDay);
}

INSTANTIATE_TEST_SUITE_P(Cases, DateDefaults,
                         ::testing::Values(EmptyDateCase{"Hello", REG_SZ, Sz("hello")},
                                           EmptyDateCase{"Empty", REG_SZ, Sz("")},
                                           EmptyDateCase{"MidnightAlone", REG_SZ, Sz("00.00.00")},
                                           EmptyDateCase{"ZeroDate", REG_SZ, Sz("30/12/1899 00.00.00")},
                                           EmptyDateCase{"ZeroDateIso", REG_SZ, Sz("1899-12-30 00:00:00")},
                                           EmptyDateCase{"ImpossibleDay", REG_SZ, Sz("31/02/2020")},
                                           EmptyDateCase{"YearBeyond", REG_SZ, Sz("01/01/10000")},
                                           EmptyDateCase{"ExpandString", REG_EXPAND_SZ, Sz("31/01/2020")},
                                           EmptyDateCase{"Dword", REG_DWORD, Dword(43861)}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(QxRegistryValues, MissingDateAndTheWrittenZeroDateGiveTheDefault) {
    OpenTestKey();
    EXPECT_EQ(reg.GetDateValue("Missing", kSomeDay), kSomeDay);
    reg.SetDateValue("Zero", Date{});
    EXPECT_EQ(Get("Zero"), (Stored{REG_SZ, Sz("30/12/1899 00.00.00")}));
    EXPECT_EQ(reg.GetDateValue("Zero", kSomeDay), kSomeDay);
}

TEST_F(QxRegistryValues, DeleteValueRemovesOnlyThatValueAndIgnoresMissingOnes) {
    Put("Gone", REG_SZ, Sz("x"));
    Put("Kept", REG_DWORD, Dword(3));
    OpenTestKey();
    reg.DeleteValue("GONE");
    EXPECT_EQ(Get("Gone"), std::nullopt);
    EXPECT_NO_THROW(reg.DeleteValue("Gone"));
    EXPECT_EQ(Get("Kept"), (Stored{REG_DWORD, Dword(3)}));
}

struct ValueOperation {
    const char* label;
    std::function<void(QxRegistry&)> run;
};

void PrintTo(const ValueOperation& op, std::ostream* os) {
    *os << op.label;
}

const ValueOperation kWrites[] = {
    {"DeleteValue", [](QxRegistry& r) { r.DeleteValue("V"); }},
    {"SetLong", [](QxRegistry& r) { r.SetLong("V", 5); }},
    {"SetStringValue", [](QxRegistry& r) { r.SetStringValue("V", "new"); }},
    {"SetDateValue", [](QxRegistry& r) { r.SetDateValue("V", kSomeDay); }},
    {"SetBooleanValue", [](QxRegistry& r) { r.SetBooleanValue("V", true); }},
    {"SetMultiStringValue", [](QxRegistry& r) { r.SetMultiStringValue("V", "a\0b\0"s); }},
    {"SetExpandStringValue", [](QxRegistry& r) { r.SetExpandStringValue("V", "%x%"); }},
};

const ValueOperation kReads[] = {
    {"GetLong", [](QxRegistry& r) { r.GetLong("V", 1); }},
    {"GetStringValue", [](QxRegistry& r) { r.GetStringValue("V", "d"); }},
    {"GetDateValue", [](QxRegistry& r) { r.GetDateValue("V", kSomeDay); }},
    {"GetBooleanValue", [](QxRegistry& r) { r.GetBooleanValue("V", true); }},
    {"GetMultiStringValue", [](QxRegistry& r) { r.GetMultiStringValue("V", "d"); }},
    {"GetExpandStringValue", [](QxRegistry& r) { r.GetExpandStringValue("V", "d"); }},
};

class NeverOpened : public QxRegistryValues, public ::testing::WithParamInterface<ValueOperation> {};

TEST_P(NeverOpened, Raises1777AndTouchesNothing) {
    Put("V", REG_SZ, Sz("31/01/2020"));
    try {
        GetParam().run(reg);
        ADD_FAILURE() << "expected error 1777";
    } catch (const RaisedError& e) {
        EXPECT_EQ(e.Number(), QxRegistry::kNotInitializedError);
        EXPECT_EQ(e.Source(), "Class QxRegistry not Initialized.");
    }
    EXPECT_EQ(Get("V"), (Stored{REG_SZ, Sz("31/01/2020")}));
}

INSTANTIATE_TEST_SUITE_P(Writes, NeverOpened, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(Reads, NeverOpened, ::testing::ValuesIn(kReads),
                         [](const auto& info) { return std::string(info.param.label); });

class AfterClose : public QxRegistryValues, public ::testing::WithParamInterface<ValueOperation> {};

TEST_P(AfterClose, WritesAreLostSilently) {
    Put("V", REG_SZ, Sz("original"));
    OpenTestKey();
    ASSERT_TRUE(reg.CloseKey());
    EXPECT_NO_THROW(GetParam().run(reg));
    EXPECT_EQ(Get("V"), (Stored{REG_SZ, Sz("original")}));
}

INSTANTIATE_TEST_SUITE_P(Writes, AfterClose, ::testing::ValuesIn(kWrites),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(QxRegistryValues, TypedReadsAfterCloseGiveDefaults) {
    Put("N", REG_DWORD, Dword(5));
    Put("D", REG_SZ, Sz("31/01/2020"));
    OpenTestKey();
    ASSERT_TRUE(reg.CloseKey());
    EXPECT_EQ(reg.GetLong("N", -9), -9);
    EXPECT_TRUE(reg.GetBooleanValue("N", true));
    EXPECT_FALSE(reg.GetBooleanValue("N", false));
    EXPECT_EQ(reg.GetDateValue("D", kSomeDay), kSomeDay);
}

}  // namespace
