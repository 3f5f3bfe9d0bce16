#include "date.h"

#include "raised_error.h"

#include <cmath>
#include <optional>

using namespace std::chrono;

namespace {

constexpr sys_days kDayZero = sys_days{year{1899} / December / 30};
constexpr long long kFirstDay = (sys_days{year{100} / January / 1} - kDayZero).count();
constexpr long long kLastDay = (sys_days{year{9999} / December / 31} - kDayZero).count();
constexpr long long kSecondsPerDay = 86400;

// Conversion errors come from the platform, so they carry the program's name as their source.
constexpr const char* kSource = "versioninfo";

[[noreturn]] void Raise(long number, const char* description) {
    throw RaisedError(number, kSource, description);
}

void AppendDigits(std::string& out, unsigned value, int width) {
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
    out += digits;
}

// Reads the text left to right; every step either consumes what it expects or reports failure.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool AtEnd() const { return pos_ == text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    size_t Position() const { return pos_; }
    void Rewind(size_t pos) { pos_ = pos; }

    bool Take(char c) {
        if (Peek() != c) return false;
        ++pos_;
        return true;
    }

    bool SkipBlanks() {
        const size_t start = pos_;
        while (Peek() == ' ' || Peek() == '\t') ++pos_;
        return pos_ != start;
    }

    struct Number {
        int value;
        size_t digits;
    };
    // One to maxDigits decimal digits; more digits than that is not a number of this field.
    std::optional<Number> Digits(size_t maxDigits) {
        Number n{0, 0};
        while (Peek() >= '0' && Peek() <= '9') {
            if (++n.digits > maxDigits) return std::nullopt;
            n.value = n.value * 10 + (text_[pos_++] - '0');
        }
        if (n.digits == 0) return std::nullopt;
        return n;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

std::optional<year_month_day> ReadDay(Reader& r, bool& iso) {
    const auto first = r.Digits(4);
    if (!first) return std::nullopt;
    int d = 0, m = 0, y = 0;
    if (first->digits <= 2 && r.Take('/')) {
        const auto mo = r.Digits(2);
        if (!mo || !r.Take('/')) return std::nullopt;
        const auto yr = r.Digits(4);
        if (!yr) return std::nullopt;
        d = first->value, m = mo->value, y = yr->value;
        iso = false;
    } else if (first->digits == 4 && r.Take('-')) {
        const auto mo = r.Digits(2);
        if (!mo || !r.Take('-')) return std::nullopt;
        const auto dy = r.Digits(2);
        if (!dy) return std::nullopt;
        d = dy->value, m = mo->value, y = first->value;
        iso = true;
    } else {
        return std::nullopt;
    }
    if (y < 100 || y > 9999) return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;
    return ymd;
}

std::optional<seconds> ReadTime(Reader& r) {
    const auto h = r.Digits(2);
    if (!h) return std::nullopt;
    const char separator = r.Peek();
    if (separator != '.' && separator != ':') return std::nullopt;
    r.Take(separator);
    const auto m = r.Digits(2);
    if (!m) return std::nullopt;
    int s = 0;
    if (r.Take(separator)) {
        const auto sec = r.Digits(2);
        if (!sec) return std::nullopt;
        s = sec->value;
    }
    if (h->value > 23 || m->value > 59 || s > 59) return std::nullopt;
    return hours{h->value} + minutes{m->value} + seconds{s};
}

std::optional<Date> Read(std::string_view text) {
    Reader r(text);
    r.SkipBlanks();
    const size_t start = r.Position();

    bool iso = false;
    std::optional<year_month_day> calendarDay = ReadDay(r, iso);
    std::optional<seconds> time;
    if (!calendarDay) {
        // Not a date, so it can only be a time alone, on day 0.
        r.Rewind(start);
        time = ReadTime(r);
        if (!time) return std::nullopt;
    } else {
        const bool blank = r.SkipBlanks();
        if (!r.AtEnd()) {
            if (!blank && !(iso && r.Take('T'))) return std::nullopt;
            time = ReadTime(r);
            if (!time) return std::nullopt;
        }
    }
    r.SkipBlanks();
    if (!r.AtEnd()) return std::nullopt;
    return MakeDate(calendarDay.value_or(year_month_day{kDayZero}), time.value_or(seconds{0}));
}

}  // namespace

Date MakeDate(year_month_day day, seconds timeOfDay) {
    if (!day.ok() || timeOfDay < seconds{0} || timeOfDay >= days{1})
        Raise(kInvalidArgumentError, "Invalid procedure call or argument");
    const long long n = (sys_days{day} - kDayZero).count();
    if (n < kFirstDay || n > kLastDay) Raise(kOverflowError, "Overflow");
    const double fraction = static_cast<double>(timeOfDay.count()) / kSecondsPerDay;
    return Date(n >= 0 ? static_cast<double>(n) + fraction : static_cast<double>(n) - fraction);
}

DateParts SplitDate(Date date) {
    const double serial = date.Serial();
    // Checked before any conversion to an integer, which would be undefined out of range.
    if (!std::isfinite(serial) || serial <= static_cast<double>(kFirstDay - 1) ||
        serial >= static_cast<double>(kLastDay + 1))
        Raise(kOverflowError, "Overflow");
    const double whole = std::trunc(serial);
    long long n = static_cast<long long>(whole);
    long long secs = std::llround(std::fabs(serial - whole) * kSecondsPerDay);
    if (secs == kSecondsPerDay) {  // rounded up to the next midnight, whichever side of day 0
        ++n;
        secs = 0;
    }
    if (n < kFirstDay || n > kLastDay) Raise(kOverflowError, "Overflow");
    return DateParts{year_month_day{kDayZero + days{n}}, hh_mm_ss<seconds>{seconds{secs}}};
}

std::string FormatDate(Date date, std::string_view pattern) {
    const DateParts parts = SplitDate(date);
    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        const std::string_view rest = pattern.substr(i);
        if (rest.starts_with("yyyy")) {
            AppendDigits(out, static_cast<unsigned>(static_cast<int>(parts.day.year())), 4);
            i += 4;
            continue;
        }
        const std::string_view token = rest.substr(0, 2);
        unsigned value = 0;
        if (token == "dd") value = static_cast<unsigned>(parts.day.day());
        else if (token == "mm") value = static_cast<unsigned>(parts.day.month());
        else if (token == "hh") value = static_cast<unsigned>(parts.time.hours().count());
        else if (token == "nn") value = static_cast<unsigned>(parts.time.minutes().count());
        else if (token == "ss") value = static_cast<unsigned>(parts.time.seconds().count());
        else {
            out += pattern[i++];
            continue;
        }
        AppendDigits(out, value, 2);
        i += 2;
    }
    return out;
}

Date ParseDate(std::string_view text) {
    const std::optional<Date> date = Read(text);
    if (!date) Raise(kTypeMismatchError, "Type mismatch");
    return *date;
}

bool IsDate(std::string_view text) {
    return Read(text).has_value();
}
