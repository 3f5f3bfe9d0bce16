#pragma once
// ASCII letters without regard to case: how names compare where only ASCII is folded (a file or
// root key looked for by name, the store's fast path for all-ASCII names, a Windows 9x name's
// hash), whatever the locale, and for the bytes of UTF-8 and the units of UTF-16 alike.
#include <algorithm>
#include <string>
#include <string_view>
#include <type_traits>

template <class C>
constexpr C AsciiUpper(C c) {
    return c >= C('a') && c <= C('z') ? C(c - C('a' - 'A')) : c;
}
template <class C>
constexpr C AsciiLower(C c) {
    return c >= C('A') && c <= C('Z') ? C(c + C('a' - 'A')) : c;
}

template <class C>
std::basic_string<C> AsciiUpperText(std::basic_string_view<C> text) {
    std::basic_string<C> out(text);
    for (C& c : out) c = AsciiUpper(c);
    return out;
}

// Below zero, zero, above zero: `a` before, equal to or after `b`.
template <class C>
constexpr int CompareAsciiFolded(std::basic_string_view<C> a, std::basic_string_view<C> b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        // As bytes or units, so that what lies beyond ASCII orders after it.
        const auto x = static_cast<std::make_unsigned_t<C>>(AsciiUpper(a[i]));
        const auto y = static_cast<std::make_unsigned_t<C>>(AsciiUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}
constexpr int CompareAsciiFolded(std::string_view a, std::string_view b) {
    return CompareAsciiFolded<char>(a, b);
}

template <class C>
constexpr bool EqualsAsciiFolded(std::basic_string_view<C> a, std::basic_string_view<C> b) {
    return a.size() == b.size() && CompareAsciiFolded(a, b) == 0;
}
constexpr bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
    return EqualsAsciiFolded<char>(a, b);
}
constexpr bool EqualsAsciiFolded(std::u16string_view a, std::u16string_view b) {
    return EqualsAsciiFolded<char16_t>(a, b);
}
