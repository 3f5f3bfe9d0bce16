#include "stored_text.h"

#include "keys.h"
#include "schema.h"
#include "text.h"

#include <algorithm>

namespace handles {
namespace {

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string Spelled(std::string_view text, char) {
    return IsAscii(text) ? std::string(text) : Utf16ToAnsi(Wtf8ToUtf16(text));
}
std::u16string Spelled(std::string_view text, char16_t) {
    return Wtf8ToUtf16(text);
}

std::int64_t StoredForm(DWORD type, std::string_view& data, std::string& room) {
    using store::kUtf16Data;
    if (type == REG_LINK) return type | kUtf16Data;
    if (!IsStringType(type)) return type;
    if (data.size() % 2 != 0) return type | kUtf16Data;
    room.resize(data.size() / 2);
    bool ascii = true;
    for (size_t i = 0; i < room.size(); ++i) {
        const auto lo = static_cast<unsigned char>(data[2 * i]), hi = static_cast<unsigned char>(data[2 * i + 1]);
        ascii = ascii && hi == 0 && lo < 0x80;
        room[i] = static_cast<char>(lo);
    }
    if (!ascii) {
        const std::u16string units = UnitsFromBytes(data);
        room = Utf16ToAnsi(units);
        if (AnsiToUtf16(room) != units) return type | kUtf16Data;
    }
    data = room;
    return type;
}

LONG CopyData(std::string_view data, LPBYTE buffer, LPDWORD cb) {
    const auto size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) {
        if (cb != nullptr) *cb = size;
        return ERROR_SUCCESS;
    }
    if (*cb < size) {
        *cb = size;
        return ERROR_MORE_DATA;
    }
    if (size != 0) std::memcpy(buffer, data.data(), size);
    *cb = size;
    return ERROR_SUCCESS;
}

LONG CopyData(bool wide, DWORD type, bool utf16, std::string_view data, LPBYTE buffer, LPDWORD cb) {
    if (!IsStringType(type) || wide == utf16) return CopyData(data, buffer, cb);
    if (wide) return CopyData(BytesFromUnits(AnsiToUtf16(data)), buffer, cb);
    return CopyData(Utf16ToAnsi(UnitsFromBytes(data)), buffer, cb);
}

std::string ValueName(LPCSTR lpValueName) {
    return lpValueName ? store::FoldedFromAnsi(lpValueName) : std::string();
}
std::string ValueName(LPCWSTR lpValueName) {
    return lpValueName ? store::NameFromUtf16(lpValueName).folded : std::string();
}

}  // namespace handles
