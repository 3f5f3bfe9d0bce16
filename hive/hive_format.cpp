// The format's functions of its own: the log entries' hash, the upper case of key names, and what a
// file too short to be a hive is.
#include "hive_format.h"

#include "ascii.h"
#include "byte_order.h"
#include "hex.h"
#include "wtf8.h"

#include <locale.h>
#include <bit>
#include <clocale>
#include <cstdio>
#include <cwctype>
#include <memory>

namespace hive::format {

std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
    std::uint32_t lo = std::uint32_t(seed), hi = std::uint32_t(seed >> 32);
    auto mix = [&] {
        hi ^= lo;
        lo = std::rotl(lo, 20);
        lo += hi;
        hi = std::rotl(hi, 9);
        hi ^= lo;
        lo = std::rotl(lo, 27);
        lo += hi;
        hi = std::rotl(hi, 19);
    };
    std::size_t i = 0;
    for (; i + 4 <= bytes.size(); i += 4) {
        lo += ReadLe32(bytes.data() + i);
        mix();
    }
    const std::uint32_t last =
        0x80u << 8 * (bytes.size() - i) | std::uint32_t(ReadLe(bytes.data() + i, bytes.size() - i));
    lo += last;
    mix();
    mix();
    return std::uint64_t(hi) << 32 | lo;
}

char16_t Upcase(char16_t unit) {
    // Windows upper-cases one UTF-16 unit at a time with the simple Unicode mappings; surrogates
    // stay as they are. C.UTF-8 carries those mappings whatever the user's locale.
    static const std::unique_ptr<char16_t[]> table = [] {
        auto t = std::make_unique<char16_t[]>(0x10000);
        locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
        for (std::uint32_t c = 0; c < 0x10000; ++c) {
            std::uint32_t up = c;
            if (c < 0x80) up = AsciiUpper(c);
            else if (utf8 && c >= 0x80 && (c < 0xD800 || c > 0xDFFF)) up = std::uint32_t(towupper_l(wint_t(c), utf8));
            t[c] = up <= 0xFFFF ? char16_t(up) : char16_t(c);
        }
        if (utf8) freelocale(utf8);
        return t;
    }();
    return table[unit];
}

std::string Utf8(std::u16string_view s) {
    return Utf16ToWtf8(s);
}

const char* DecodeSubkeyList(std::span<const std::uint8_t> cell, SubkeyList& out) {
    if (cell.size() < list::kElements) return "a subkey list too short";
    const auto is = [&](const char(&signature)[3]) { return std::memcmp(cell.data(), signature, 2) == 0; };
    out = SubkeyList{};
    out.index = is(sig::kIndexRoot);
    out.hashes = is(sig::kHashLeaf);
    if (out.index || is(sig::kIndexLeaf)) out.stride = list::kNarrow;
    else if (is(sig::kFastLeaf) || out.hashes) out.stride = list::kWide;
    else return "not a subkey list (\"li\", \"lf\", \"lh\" or \"ri\")";
    out.count = ReadLe16(&cell[list::kCount]);
    if (list::kElements + std::uint64_t(out.count) * out.stride > cell.size())
        return out.index ? "an index (\"ri\") shorter than its count" : "a subkey list shorter than its count";
    return nullptr;
}

std::string ShortFileFault(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return "an empty file (0 bytes), not a registry hive";
    if (LooksLikeHive(bytes))
        return "a registry hive cut short: " + Hex(bytes.size()) + " bytes, less than its base block of " +
               Hex(kBaseBlockSize);
    return "not a registry hive (no \"regf\" base block at offset 0x0)";
}

}  // namespace hive::format
