// Text services of the Windows build: the system's own code-page conversions and upper casing.
// Every call passes explicit lengths, so NULs inside the text go through like any character.
#include "text.h"
#include "utf16.h"
#include "winapi.h"

#include "raised_error.h"

#include <climits>
#include <string>

namespace {

[[noreturn]] void RaiseLastError(const char* operation) {
    throw RaisedError(static_cast<long>(GetLastError()), "Text services", std::string(operation) + " failed");
}

int Length(size_t size) {
    if (size > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        RaiseLastError("Conversion of a text longer than 2 GB");
    }
    return static_cast<int>(size);
}

std::wstring ToWide(UINT codePage, std::string_view bytes) {
    if (bytes.empty()) return {};
    const int n = MultiByteToWideChar(codePage, 0, bytes.data(), Length(bytes.size()), nullptr, 0);
    if (n == 0) RaiseLastError("MultiByteToWideChar");
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, 0, bytes.data(), Length(bytes.size()), wide.data(), n) != n)
        RaiseLastError("MultiByteToWideChar");
    return wide;
}

std::string FromWide(UINT codePage, std::wstring_view wide) {
    if (wide.empty()) return {};
    // For the ANSI code page: no best-fit look-alikes ("ā" is not "a"), a plain "?" instead. UTF-8
    // takes neither option.
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* fallback = codePage == CP_UTF8 ? nullptr : "?";
    const int n = WideCharToMultiByte(codePage, flags, wide.data(), Length(wide.size()), nullptr, 0, fallback, nullptr);
    if (n == 0) RaiseLastError("WideCharToMultiByte");
    std::string bytes(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), Length(wide.size()), bytes.data(), n, fallback, nullptr) != n)
        RaiseLastError("WideCharToMultiByte");
    return bytes;
}

// LCMapStringW rather than the locale-name variant, which Windows XP lacks.
std::string UpperCaseIn(LCID locale, std::string_view text) {
    const std::wstring wide = Utf8ToWide(text);
    if (wide.empty()) return {};
    const int n = LCMapStringW(locale, LCMAP_UPPERCASE, wide.data(), Length(wide.size()), nullptr, 0);
    if (n == 0) RaiseLastError("LCMapStringW");
    std::wstring upper(static_cast<size_t>(n), L'\0');
    if (LCMapStringW(locale, LCMAP_UPPERCASE, wide.data(), Length(wide.size()), upper.data(), n) != n)
        RaiseLastError("LCMapStringW");
    return WideToUtf8(upper);
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    return ToWide(CP_UTF8, text);
}
std::string WideToUtf8(std::wstring_view text) {
    return FromWide(CP_UTF8, text);
}

std::string AnsiToText(std::string_view ansi) {
    return WideToUtf8(ToWide(CP_ACP, ansi));
}
std::string TextToAnsi(std::string_view text) {
    return FromWide(CP_ACP, Utf8ToWide(text));
}

std::string UCase(std::string_view text) {
    return UpperCaseIn(LOCALE_USER_DEFAULT, text);
}
std::string FoldCase(std::string_view text) {
    return UpperCaseIn(LOCALE_INVARIANT, text);
}
