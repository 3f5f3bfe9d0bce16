// Text services of the portable build: Windows-1252 through glibc's iconv, upper case through the
// C library's wide-character classification in a UTF-8 locale.
#include "text.h"
#include "utf16.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdexcept>
#include <string>

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

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Length of the UTF-8 sequence that starts `s`, or 1 for a byte that starts none.
size_t SequenceLength(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    size_t n = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 1;
    if (n > s.size()) return 1;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
    return n;
}

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

static std::string UpperCaseIn(std::string_view text, locale_t loc);

std::string AnsiToText(std::string_view ansi) {
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
    thread_local Converter toAnsi(kAnsiCodePage, "UTF-8");
    std::string out;
    out.reserve(text.size());
    while (!toAnsi.Run(text, out)) {
        const size_t n = SequenceLength(text);
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

static std::string UpperCaseIn(std::string_view text, locale_t loc) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t n = SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        if (n == 1 && lead >= 0x80) {  // not UTF-8: keep the byte as it is
            out += text[0];
            text.remove_prefix(1);
            continue;
        }
        char32_t c = n == 1 ? lead
                   : n == 2 ? (lead & 0x1F)
                   : n == 3 ? (lead & 0x0F)
                            : (lead & 0x07);
        for (size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        AppendUtf8(out, static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), loc)));
        text.remove_prefix(n);
    }
    return out;
}

std::string UCase(std::string_view text) { return UpperCaseIn(text, UpperCaseLocale()); }

std::string FoldCase(std::string_view text) {
    static const locale_t invariant = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return UpperCaseIn(text, invariant);
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
        text.remove_prefix(SequenceLength(text));
    }
    return out;
}
