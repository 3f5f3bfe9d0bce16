// Text services of the portable build: Windows-1252 through glibc's iconv, upper case through the
// C library's wide-character classification in a UTF-8 locale; names folded by a table of our own
// (fold_table.h), which no update of the C library changes.
#include "text.h"
#include "fold_table.h"
#include "utf16.h"

#include "byte_order.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

constexpr const char* kAnsiCodePage = "WINDOWS-1252";

class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " + to);
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much as it can; returns false at an input sequence it cannot convert, leaving
    // `in` at that sequence.
    bool Run(std::string_view& in, std::string& out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        while (!in.empty()) {
            char buffer[256];
            char* src = const_cast<char*>(in.data());
            size_t srcLeft = in.size();
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            in.remove_prefix(in.size() - srcLeft);
            if (rc == static_cast<size_t>(-1) && errno != E2BIG) return false;
        }
        return true;
    }

private:
    iconv_t cd_;
};

// The user's locale when it is a UTF-8 one, else C.UTF-8: either way one that knows every letter.
locale_t UpperCaseLocale() {
    static const locale_t loc = [] {
        locale_t user = newlocale(LC_CTYPE_MASK, "", nullptr);
        if (user != nullptr) {
            const char* codeset = nl_langinfo_l(CODESET, user);
            if (codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0) return user;
            freelocale(user);
        }
        return newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    }();
    return loc;
}

}  // namespace

// ASCII is itself in Windows-1252 and in UTF-8: most registry text is, and needs no converter (nor
// iconv's module for the code page, loaded at its first use).
static bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string AnsiToText(std::string_view ansi) {
    if (IsAscii(ansi)) return std::string(ansi);
    thread_local Converter toText("UTF-8", kAnsiCodePage);
    std::string out;
    out.reserve(ansi.size());
    while (!toText.Run(ansi, out)) {
        // The five bytes that Windows-1252 leaves undefined read as the C1 controls of the same
        // value, as Windows' own conversion does, so they survive a round trip.
        AppendUtf8(out, static_cast<unsigned char>(ansi[0]));
        ansi.remove_prefix(1);
    }
    return out;
}

std::string TextToAnsi(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    thread_local Converter toAnsi(kAnsiCodePage, "UTF-8");
    std::string out;
    out.reserve(text.size());
    while (!toAnsi.Run(text, out)) {
        const size_t n = Utf8SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        // The inverse of AnsiToText for the undefined bytes: U+0081, U+008D, U+008F, U+0090, U+009D.
        if (n == 2 && lead == 0xC2) {
            const auto c = static_cast<unsigned char>(text[1]);
            if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
                out += static_cast<char>(c);
                text.remove_prefix(2);
                continue;
            }
        }
        out += '?';
        text.remove_prefix(n);
    }
    return out;
}

template <typename Map>
static std::string MapEach(std::string_view text, Map map) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t n = Utf8SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        if (n == 1 && lead >= 0x80) {  // not UTF-8: keep the byte as it is
            out += text[0];
            text.remove_prefix(1);
            continue;
        }
        char32_t c = n == 1 ? lead : n == 2 ? (lead & 0x1F) : n == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        AppendUtf8(out, map(c));
        text.remove_prefix(n);
    }
    return out;
}

std::string UCase(std::string_view text) {
    const locale_t loc = UpperCaseLocale();
    return MapEach(text, [loc](char32_t c) { return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), loc)); });
}

static char32_t FoldCharacter(char32_t c) {
    // Windows compares registry names by upper-casing each UTF-16 unit: a character beyond the
    // Basic Multilingual Plane (a surrogate pair) is never folded.
    if (c >= 0x10000) return c;
    const auto after = std::upper_bound(std::begin(fold::kRuns), std::end(fold::kRuns), c,
                                        [](char32_t x, const fold::Run& run) { return x < run.first; });
    if (after == std::begin(fold::kRuns)) return c;
    const fold::Run& run = *(after - 1);
    if (c > run.last || (c - run.first) % run.stride != 0) return c;
    return static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
}

std::string FoldCase(std::string_view text) {
    return MapEach(text, FoldCharacter);
}

std::string Utf16LeToText(std::string_view bytes, bool& ok) {
    thread_local Converter fromUtf16("UTF-8", "UTF-16LE");
    ok = true;
    std::string out;
    out.reserve(bytes.size() / 2);
    bytes = bytes.substr(0, bytes.size() & ~size_t{1});
    while (!fromUtf16.Run(bytes, out)) {
        ok = false;
        out += "\xEF\xBF\xBD";  // U+FFFD
        bytes.remove_prefix(2);
    }
    return out;
}

std::string TextToUtf16Le(std::string_view text) {
    thread_local Converter toUtf16("UTF-16LE", "UTF-8");
    std::string out;
    out.reserve(text.size() * 2);
    while (!toUtf16.Run(text, out)) {
        out += "\xFD\xFF";  // U+FFFD
        text.remove_prefix(Utf8SequenceLength(text));
    }
    return out;
}

namespace {

// Windows-1252's 0x80 to 0x9F; the five bytes it leaves undefined stand for the C1 control of
// the same value, as AnsiToText reads them.
constexpr char16_t kHighControls[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

#include "best_fit_1252.inc"

}  // namespace

std::u16string AnsiToUtf16(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char ch : ansi) {
        const auto b = static_cast<unsigned char>(ch);
        out += b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : static_cast<char16_t>(b);
    }
    return out;
}

std::string Utf16ToAnsi(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (char16_t u : units) {
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) {
            out += static_cast<char>(u);
            continue;
        }
        char b = '?';
        for (int i = 0; i < 32; ++i)
            if (kHighControls[i] == u) b = static_cast<char>(0x80 + i);
        if (b == '?') {
            const auto* fit = std::lower_bound(std::begin(kBestFit1252), std::end(kBestFit1252), u,
                                               [](const auto& entry, char16_t unit) { return entry.first < unit; });
            if (fit != std::end(kBestFit1252) && fit->first == u) b = static_cast<char>(fit->second);
        }
        out += b;
    }
    return out;
}

std::u16string UnitsFromBytes(std::string_view bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(ReadLe16(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2 * i));
    return out;
}

std::string BytesFromUnits(std::u16string_view units) {
    std::string out(units.size() * 2, '\0');
    for (size_t i = 0; i < units.size(); ++i) {
        out[2 * i] = static_cast<char>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>(units[i] >> 8);
    }
    return out;
}
