// The date texts. Whatever reads as a date, written in the stored pattern (and in ISO form), reads
// back as the same day and second; any day number that splits into a day and time formats into a text
// that reads back as that day and time; every refusal is one of the documented error numbers.
#include "date.h"
#include "raised_error.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

void Check(bool ok, const char* what, std::string_view detail) {
    if (!ok) {
        std::fprintf(stderr, "date_fuzzer: %s: \"%.*s\"\n", what, static_cast<int>(detail.size()), detail.data());
        std::abort();
    }
}

bool SameParts(const DateParts& a, const DateParts& b) {
    return a.day == b.day && a.time.to_duration() == b.time.to_duration();
}

// The parts of a date, or nothing when it is out of range (which must be error 6).
std::optional<DateParts> Split(Date date) {
    try {
        return SplitDate(date);
    } catch (const RaisedError& e) {
        Check(e.Number() == kOverflowError, "SplitDate raised something other than Overflow", e.what());
        return std::nullopt;
    }
}

// Writes a date every way the program writes one and reads each text back.
void RoundTrip(Date date) {
    const auto parts = Split(date);
    if (!parts) return;
    for (std::string_view pattern :
         {kDatePattern, std::string_view("yyyy-mm-dd hh:nn:ss"), std::string_view("yyyy-mm-ddThh:nn:ss")}) {
        const std::string text = FormatDate(date, pattern);
        Check(IsDate(text), "a formatted date does not read as a date", text);
        const auto back = Split(ParseDate(text));
        Check(back && SameParts(*back, *parts), "a formatted date reads back as another date", text);
    }
    // Making the date again from its parts lands on the same second.
    const auto again = Split(MakeDate(parts->day, parts->time.to_duration()));
    Check(again && SameParts(*again, *parts), "MakeDate of the parts of a date gives another date",
          FormatDate(date, kDatePattern));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0: {  // a text as a user or a registry value gives it
            std::optional<Date> date;
            try {
                date = ParseDate(rest);
            } catch (const RaisedError& e) {
                Check(e.Number() == kTypeMismatchError, "ParseDate raised something other than Type mismatch", rest);
            }
            Check(IsDate(rest) == date.has_value(), "IsDate and ParseDate disagree", rest);
            if (date) {
                Check(Split(*date).has_value(), "a date that was read cannot be split", rest);
                RoundTrip(*date);
            }
            break;
        }
        case 1: {  // any day number, NaN and infinities included
            double serial = 0;
            if (rest.size() < sizeof serial) return 0;
            std::memcpy(&serial, rest.data(), sizeof serial);
            RoundTrip(Date(serial));
            break;
        }
        case 2: {  // a calendar day and a time of day, possible or not
            if (rest.size() < 8) return 0;
            using namespace std::chrono;
            const int y = static_cast<int16_t>(static_cast<uint8_t>(rest[0]) | static_cast<uint8_t>(rest[1]) << 8);
            const year_month_day day{year{y}, month{static_cast<unsigned char>(rest[2])},
                                     std::chrono::day{static_cast<unsigned char>(rest[3])}};
            int32_t secs = 0;
            std::memcpy(&secs, rest.data() + 4, sizeof secs);
            try {
                RoundTrip(MakeDate(day, seconds{secs}));
            } catch (const RaisedError& e) {
                Check(e.Number() == kInvalidArgumentError || e.Number() == kOverflowError,
                      "MakeDate raised something other than 5 or 6", e.what());
            }
            break;
        }
    }
    return 0;
}
