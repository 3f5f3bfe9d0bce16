#pragma once
#include <string>
#include <string_view>

// The Win32 wide-character functions speak UTF-16; the program's text is UTF-8.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
