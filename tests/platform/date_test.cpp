// The date services: the OLE Automation day scale, the stored pattern, and what reads as a date.
#include "date.h"
#include "raised_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

using namespace std::chrono;

namespace {

constexpr double kSecond = 1.0 / 86400;

void ExpectRaises(long number, const std::function<void()>& operation) {
    try {
        operation();
        ADD_FAILURE() << "expected error " << number;
    } catch (const RaisedError& e) {
        EXPECT_EQ(e.Number(), number) << e.what();
        EXPECT_FALSE(e.Description().empty());
    }
}

// Serials whose fraction a double holds exactly, so both directions can be compared exactly.
struct ScaleCase {
    double serial;
    const char* text;
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
    *os << c.serial << " = " << c.text;
}

class DateScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(DateScale, FormatsAndParsesBothWays) {
    const auto& c = GetParam();
    EXPECT_EQ(FormatDate(Date(c.serial), kDatePattern), c.text);
    EXPECT_EQ(ParseDate(c.text).Serial(), c.serial);
    EXPECT_TRUE(IsDate(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateScale,
    ::testing::Values(ScaleCase{0.0, "30/12/1899 00.00.00"}, ScaleCase{0.75, "30/12/1899 18.00.00"},
                      ScaleCase{1.0, "31/12/1899 00.00.00"}, ScaleCase{2.5, "01/01/1900 12.00.00"},
                      // Before day 0 the time of day still counts forward.
                      ScaleCase{-1.0, "29/12/1899 00.00.00"}, ScaleCase{-1.25, "29/12/1899 06.00.00"},
                      ScaleCase{-2.875, "28/12/1899 21.00.00"}, ScaleCase{36586.0, "01/03/2000 00.00.00"},
                      ScaleCase{43861.125, "31/01/2020 03.00.00"}, ScaleCase{-657434.0, "01/01/0100 00.00.00"},
                      ScaleCase{-657434.5, "01/01/0100 12.00.00"}, ScaleCase{2958465.0, "31/12/9999 00.00.00"}));

TEST(DateParts, MakeAndSplitAgreeToTheSecond) {
    struct Case {
        year_month_day day;
        seconds time;
        const char* text;
    };
    const Case cases[] = {
        {year{2020} / 1 / 31, hours{13} + minutes{5} + seconds{9}, "31/01/2020 13.05.09"},
        {year{1899} / 12 / 29, hours{23} + minutes{59} + seconds{59}, "29/12/1899 23.59.59"},
        {year{1899} / 12 / 30, seconds{1}, "30/12/1899 00.00.01"},
        {year{100} / 1 / 1, seconds{0}, "01/01/0100 00.00.00"},
        {year{9999} / 12 / 31, hours{23} + minutes{59} + seconds{59}, "31/12/9999 23.59.59"},
        {year{2024} / 2 / 29, hours{12}, "29/02/2024 12.00.00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Date date = MakeDate(c.day, c.time);
        EXPECT_EQ(FormatDate(date, kDatePattern), c.text);
        EXPECT_EQ(ParseDate(c.text), date);
        const DateParts parts = SplitDate(date);
        EXPECT_EQ(parts.day, c.day);
        EXPECT_EQ(parts.time.to_duration(), c.time);
    }
    EXPECT_LT(MakeDate(year{1899} / 12 / 29, hours{23}), Date{}) << "the day before day 0 is negative";
}

TEST(DateFormat, RoundsToTheNearestSecond) {
    EXPECT_EQ(FormatDate(Date(0.5 + 0.4 * kSecond), kDatePattern), "30/12/1899 12.00.00");
    EXPECT_EQ(FormatDate(Date(0.5 + 0.6 * kSecond), kDatePattern), "30/12/1899 12.00.01");
    EXPECT_EQ(FormatDate(Date(-1.0 - 0.6 * kSecond), kDatePattern), "29/12/1899 00.00.01");
    // Rounding up past the last second of a day lands on the next midnight, on both sides of day 0.
    EXPECT_EQ(FormatDate(Date(1.0 - 0.2 * kSecond), kDatePattern), "31/12/1899 00.00.00");
    EXPECT_EQ(FormatDate(Date(-1.0 - (86399.7 * kSecond)), kDatePattern), "30/12/1899 00.00.00");
}

TEST(DateFormat, PatternTokensAndLiterals) {
    const Date date = MakeDate(year{2020} / 1 / 31, hours{13} + minutes{5} + seconds{9});
    EXPECT_EQ(FormatDate(date, "yyyy-mm-dd hh:nn:ss"), "2020-01-31 13:05:09");
    EXPECT_EQ(FormatDate(date, "[dd.mm]"), "[31.01]");
    EXPECT_EQ(FormatDate(date, ""), "");
}

struct ReadCase {
    const char* text;
    const char* expected;  // as written with the stored pattern
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class DateReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(DateReads, ReadsAs) {
    const auto& c = GetParam();
    EXPECT_TRUE(IsDate(c.text));
    EXPECT_EQ(FormatDate(ParseDate(c.text), kDatePattern), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateReads,
    ::testing::Values(
        ReadCase{"31/01/2020 13.05.09", "31/01/2020 13.05.09"}, ReadCase{"31/01/2020", "31/01/2020 00.00.00"},
        ReadCase{"13.05.09", "30/12/1899 13.05.09"}, ReadCase{"00.00.00", "30/12/1899 00.00.00"},
        ReadCase{"2020-01-31 13:05:09", "31/01/2020 13.05.09"}, ReadCase{"2020-01-31T13:05:09", "31/01/2020 13.05.09"},
        ReadCase{"2020-01-31", "31/01/2020 00.00.00"}, ReadCase{"1/2/2020 1.05", "01/02/2020 01.05.00"},
        ReadCase{"31/01/2020 13:05:09", "31/01/2020 13.05.09"},
        ReadCase{"  31/01/2020   13.05.09 ", "31/01/2020 13.05.09"}, ReadCase{"29/02/2020", "29/02/2020 00.00.00"},
        ReadCase{"01/01/0100", "01/01/0100 00.00.00"}, ReadCase{"31/12/9999 23.59.59", "31/12/9999 23.59.59"}));

class DateRejects : public ::testing::TestWithParam<const char*> {};

TEST_P(DateRejects, IsNoDateAndRaisesTypeMismatch) {
    const char* text = GetParam();
    EXPECT_FALSE(IsDate(text));
    ExpectRaises(kTypeMismatchError, [&] { ParseDate(text); });
}

INSTANTIATE_TEST_SUITE_P(Cases, DateRejects,
                         ::testing::Values("hello", "", "   ", "31/02/2020", "29/02/2019", "00/01/2020", "31/13/2020",
                                           "01/01/0099", "01/01/99", "01/01/10000", "10000-01-01", "25.00.00",
                                           "12.60.00", "12.00.60", "13", "31/01/2020T13.05.09", "31/01/202013.05.09",
                                           "31/01/2020 13.05.09x", "2020-01-31 13.05:09", "13.05.09 31/01/2020",
                                           "31-01-2020", "2020/01/31"));

TEST(DateRange, DatesBeyondTheScaleOverflow) {
    const double outside[] = {-657435.0,
                              2958466.0,
                              1e300,
                              -1e300,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              2958465.0 + 86399.6 * kSecond};
    for (double serial : outside) {
        SCOPED_TRACE(serial);
        ExpectRaises(kOverflowError, [&] { FormatDate(Date(serial), kDatePattern); });
    }
    EXPECT_EQ(FormatDate(Date(-657434.0 - 86399.0 * kSecond), kDatePattern), "01/01/0100 23.59.59");
}

TEST(DateRange, MakeDateRefusesDaysOutsideTheScaleAndImpossibleParts) {
    ExpectRaises(kOverflowError, [] { MakeDate(year{99} / 12 / 31, seconds{0}); });
    ExpectRaises(kOverflowError, [] { MakeDate(year{10000} / 1 / 1, seconds{0}); });
    ExpectRaises(kInvalidArgumentError, [] { MakeDate(year{2020} / 2 / 31, seconds{0}); });
    ExpectRaises(kInvalidArgumentError, [] { MakeDate(year{2020} / 2 / 1, hours{24}); });
    ExpectRaises(kInvalidArgumentError, [] { MakeDate(year{2020} / 2 / 1, seconds{-1}); });
}

}  // namespace
