#pragma once
#include <string>
#include <string_view>

// Text services. Text inside the program is UTF-8; the registry and the version record speak the
// system ANSI code page (Windows-1252 in the portable build).

// ANSI code page bytes to text. Every byte has a reading, so this never fails; NULs are kept.
std::string AnsiToText(std::string_view ansi);

// Text to ANSI code page bytes. A character the code page cannot represent, or a malformed UTF-8
// sequence, becomes "?". NULs are kept, so multi-strings survive the trip.
std::string TextToAnsi(std::string_view text);

// Locale-aware upper case of the whole text, non-ASCII letters included ("café" gives "CAFÉ").
std::string UCase(std::string_view text);

// Upper case that does not depend on the user's locale, for comparing names without regard to case.
// In the portable build a character beyond the Basic Multilingual Plane stays as it is, as the
// registry compares names one UTF-16 unit at a time, and the rest follow a table that stays as the
// store's names were folded with, whatever the C library's version.
std::string FoldCase(std::string_view text);
