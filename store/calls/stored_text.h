#pragma once
// Stored text forms: names and string data as each side of the API spells them, and the form
// string data are kept in.
#include "utf16.h"
#include "winapi.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace handles {

bool IsStringType(DWORD type);

// A name as each side of the API spells it: one unit (one ANSI byte) for each UTF-16 unit.
std::string Spelled(std::string_view text, char);
std::u16string Spelled(std::string_view text, char16_t);

// Hands a name out in the caller's buffer of *cch characters, its NUL included; on success *cch is
// the length without the NUL. A buffer too small takes nothing and leaves *cch as it was.
template <typename Char>
LONG CopyName(std::string_view text, Char* buffer, LPDWORD cch) {
    const auto spelled = Spelled(text, Char());
    if (spelled.size() + 1 > *cch) return ERROR_MORE_DATA;
    std::memcpy(buffer, spelled.data(), spelled.size() * sizeof(Char));
    buffer[spelled.size()] = Char();
    *cch = static_cast<DWORD>(spelled.size());
    return ERROR_SUCCESS;
}

// UTF-16 text that Windows-1252 holds exactly is kept as ANSI bytes, half the size: both sides
// read it back as they gave it. Anything else (other characters, an odd byte) stays UTF-16, marked.
// Returns the type column's value and points `data` at the bytes to keep (in `room` when converted).
std::int64_t StoredForm(DWORD type, std::string_view& data, std::string& room);

// Hands data out as RegQueryValueExA does: the size alone without a buffer, ERROR_MORE_DATA and the
// size needed when the buffer is too small.
LONG CopyData(std::string_view data, LPBYTE buffer, LPDWORD cb);
// The data as a caller on one side of the API reads them: the string types converted when they
// were stored from the other side. An odd last byte of UTF-16 is no character and goes.
LONG CopyData(bool wide, DWORD type, bool utf16, std::string_view data, LPBYTE buffer, LPDWORD cb);

// A value name in its folded form; none names the default value.
std::string ValueName(LPCSTR lpValueName);
std::string ValueName(LPCWSTR lpValueName);

}  // namespace handles
