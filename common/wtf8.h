#pragma once
// The program's text (UTF-8) and the registry's and NTFS's own (UTF-16 code units), both ways. A
// lone surrogate, which a name in UTF-16 may hold, keeps the three-byte form of its code point
// (WTF-8), so that every sequence of units comes back as it was.
#include <cstddef>
#include <string>
#include <string_view>

std::string Utf16ToWtf8(std::u16string_view units);
// A byte that starts no sequence reads as U+FFFD.
std::u16string Wtf8ToUtf16(std::string_view text);
std::string Wtf8ToUtf16Le(std::string_view text);  // the same as little-endian bytes

// One code point appended as UTF-8.
void AppendUtf8(std::string& out, char32_t c);
// The length of the UTF-8 sequence that starts `text` (not empty), or 1 for a byte that starts none.
std::size_t Utf8SequenceLength(std::string_view text);
