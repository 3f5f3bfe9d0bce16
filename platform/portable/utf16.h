#pragma once
// The store keeps names as UTF-8 in which a lone surrogate has the three-byte form of its code
// point (WTF-8): Utf16ToWtf8 and the rest, in common/.
#include "wtf8.h"

#include <string>
#include <string_view>

// UTF-16LE, the text of version 5 .reg files, to and from the program's UTF-8.
// A unit that is no character (a lone surrogate) reads as U+FFFD and clears `ok`.
std::string Utf16LeToText(std::string_view bytes, bool& ok);
std::string TextToUtf16Le(std::string_view text);

// The ANSI code page (Windows-1252) one byte for one unit, both ways, as the registry's A functions
// convert: a unit the code page lacks becomes its best-fit look-alike where Windows has one ("Ā" as
// "A"), else "?" (each half of a surrogate pair too).
std::u16string AnsiToUtf16(std::string_view ansi);
std::string Utf16ToAnsi(std::u16string_view units);

// Units to and from little-endian bytes; an odd last byte is dropped.
std::u16string UnitsFromBytes(std::string_view bytes);
std::string BytesFromUnits(std::u16string_view units);
