#pragma once
#include <string>
#include <string_view>

// UTF-16LE, the text of version 5 .reg files, to and from the program's UTF-8.
// A unit that is no character (a lone surrogate) reads as U+FFFD and clears `ok`.
std::string Utf16LeToText(std::string_view bytes, bool& ok);
std::string TextToUtf16Le(std::string_view text);
