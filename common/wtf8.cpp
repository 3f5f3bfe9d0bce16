#include "wtf8.h"

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

std::size_t Utf8SequenceLength(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t n = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 1;
    if (n > s.size()) return 1;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
    return n;
}

std::string Utf16ToWtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        // Most registry text is ASCII: as many units as there are, a byte each.
        size_t ascii = i;
        while (ascii < units.size() && units[ascii] < 0x80) ++ascii;
        if (ascii > i) {
            const size_t at = out.size();
            out.resize(at + (ascii - i));
            for (size_t k = i; k < ascii; ++k) out[at + k - i] = static_cast<char>(units[k]);
            i = ascii - 1;
            continue;
        }
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        AppendUtf8(out, c);
    }
    return out;
}

namespace {

// Hands each UTF-16 unit of the text to `put`.
template <typename Put>
void DecodeWtf8(std::string_view text, Put put) {
    while (!text.empty()) {
        const auto lead = static_cast<unsigned char>(text[0]);
        if (lead < 0x80) {  // most registry text: a unit of its own
            put(static_cast<char16_t>(lead));
            text.remove_prefix(1);
            continue;
        }
        const size_t n = Utf8SequenceLength(text);
        char32_t c = n == 1   ? (lead < 0x80 ? lead : 0xFFFD)
                     : n == 2 ? (lead & 0x1F)
                     : n == 3 ? (lead & 0x0F)
                              : (lead & 0x07);
        for (size_t i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x110000) c = 0xFFFD;
        if (c >= 0x10000) {
            put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            put(static_cast<char16_t>(c));
        }
        text.remove_prefix(n);
    }
}

}  // namespace

std::u16string Wtf8ToUtf16(std::string_view text) {
    // Each byte gives at most one unit (a four-byte sequence gives two).
    std::u16string out(text.size(), u'\0');
    char16_t* at = out.data();
    DecodeWtf8(text, [&](char16_t u) { *at++ = u; });
    out.resize(static_cast<size_t>(at - out.data()));
    return out;
}

std::string Wtf8ToUtf16Le(std::string_view text) {
    // Each byte gives at most one unit (a four-byte sequence gives two): two bytes of output.
    std::string out(text.size() * 2, '\0');
    char* at = out.data();
    DecodeWtf8(text, [&](char16_t u) {
        *at++ = static_cast<char>(u & 0xFF);
        *at++ = static_cast<char>(u >> 8);
    });
    out.resize(static_cast<size_t>(at - out.data()));
    return out;
}
