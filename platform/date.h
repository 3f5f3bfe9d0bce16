#pragma once
#include <chrono>
#include <compare>
#include <string>
#include <string_view>

// Date services. A Date is a day count on the OLE Automation scale: day 0 is 30/12/1899 at
// 00:00:00 and the fraction is the time of day. Before day 0 the time still counts forward from
// the whole day, so -1.25 is 29/12/1899 at 06:00:00, not 28/12/1899 at 18:00:00.
class Date {
public:
    constexpr Date() = default;  // the zero date
    explicit constexpr Date(double serial) : serial_(serial) {}
    constexpr double Serial() const { return serial_; }
    constexpr auto operator<=>(const Date&) const = default;

private:
    double serial_ = 0.0;
};

// The pattern the registry stores dates in; "/" stands for itself.
inline constexpr std::string_view kDatePattern = "dd/mm/yyyy hh.nn.ss";

// Error numbers of the conversions, as the platform's own conversions raise them.
inline constexpr long kInvalidArgumentError = 5;  // "Invalid procedure call or argument"
inline constexpr long kOverflowError = 6;         // "Overflow"
inline constexpr long kTypeMismatchError = 13;    // "Type mismatch"

// A calendar day and a time of day, to whole seconds.
struct DateParts {
    std::chrono::year_month_day day;
    std::chrono::hh_mm_ss<std::chrono::seconds> time;
};

// The date of a day from 01/01/0100 to 31/12/9999 at a time of day from 0 to 86399 seconds.
// A day outside that range raises 6; an impossible day or time raises 5.
Date MakeDate(std::chrono::year_month_day day, std::chrono::seconds timeOfDay);

// The day and time a date denotes, rounded to the nearest second (a double seldom holds a second
// exactly, so cutting would turn 13.05.09 into 13.05.08). A date beyond 31/12/9999 23:59:59 or
// before 01/01/0100, or one that is no number at all, raises 6.
DateParts SplitDate(Date date);

// Writes a date with a pattern of "dd", "mm", "yyyy", "hh", "nn" (minutes) and "ss"; every other
// character is copied as it is. Raises as SplitDate does.
std::string FormatDate(Date date, std::string_view pattern);

// Reads a text as a date and time. Accepted: "31/01/2020 13.05.09", "31/01/2020" (midnight),
// "13.05.09" (that time on day 0), and ISO "2020-01-31 13:05:09" or "2020-01-31T13:05:09"; times
// may use "." or ":" and may leave out the seconds. Anything else, an impossible day such as
// 31/02/2020, or a year outside 100..9999 raises 13.
Date ParseDate(std::string_view text);

// Whether ParseDate would read the text.
bool IsDate(std::string_view text);
