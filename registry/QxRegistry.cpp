#include "QxRegistry.h"

#include "byte_order.h"
#include "raised_error.h"
#include "text.h"

#include <exception>
#include <vector>

namespace {
constexpr REGSAM kAccess = 0x3F;  // query, set, create sub key, enumerate, notify, create link
}

QxRegistry::~QxRegistry() {
    if (m_hKey != nullptr) RegCloseKey(m_hKey);
}

bool QxRegistry::CloseKey() {
    if (m_hKey == nullptr) return false;
    if (RegCloseKey(m_hKey) != ERROR_SUCCESS) return false;
    m_hKey = nullptr;
    return true;
}

bool QxRegistry::OpenKey(const std::string& KeyName, HKEY hKey) {
    CloseKey();
    const std::string path = TextToAnsi(KeyName);
    LONG rc = RegOpenKeyExA(hKey, path.c_str(), 0, kAccess, &m_hKey);
    // A standard user may read HKLM but not write it. Reading is all most callers want, so settle
    // for a read-only key rather than none; writes to it are then refused and, as always, unreported.
    if (rc == ERROR_ACCESS_DENIED) rc = RegOpenKeyExA(hKey, path.c_str(), 0, KEY_READ, &m_hKey);
    if (rc != ERROR_SUCCESS) return false;
    m_blnInitialized = true;
    return true;
}

bool QxRegistry::CreateKey(const std::string& KeyName, HKEY hKey) {
    CloseKey();
    DWORD disposition = 0;
    const std::string path = TextToAnsi(KeyName);
    if (RegCreateKeyExA(hKey, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr, &m_hKey,
                        &disposition) != ERROR_SUCCESS)
        return false;
    m_blnInitialized = true;
    return true;
}

void QxRegistry::CheckInitialized() const {
    if (!m_blnInitialized)
        throw RaisedError(kNotInitializedError, "Class QxRegistry not Initialized.",
                          "Application-defined or object-defined error");
}

void QxRegistry::DeleteValue(const std::string& Value) {
    CheckInitialized();
    RegDeleteValueA(m_hKey, TextToAnsi(Value).c_str());
}

void QxRegistry::SetLong(const std::string& Value, LONG nData) {
    CheckInitialized();
    const auto bits = static_cast<DWORD>(nData);
    const BYTE data[4] = {static_cast<BYTE>(bits), static_cast<BYTE>(bits >> 8), static_cast<BYTE>(bits >> 16),
                          static_cast<BYTE>(bits >> 24)};
    RegSetValueExA(m_hKey, TextToAnsi(Value).c_str(), 0, REG_DWORD, data, sizeof data);
}

void QxRegistry::SetStringValue(const std::string& Value, const std::string& sData) {
    SetTypedString(Value, sData, REG_SZ);
}

void QxRegistry::SetDateValue(const std::string& Value, Date dtmData) {
    SetStringValue(Value, FormatDate(dtmData, kDatePattern));
}

void QxRegistry::SetBooleanValue(const std::string& Value, bool blnData) {
    SetLong(Value, blnData ? -1 : 0);
}

void QxRegistry::SetMultiStringValue(const std::string& Value, const std::string& sData) {
    SetTypedString(Value, sData, REG_MULTI_SZ);
}

void QxRegistry::SetExpandStringValue(const std::string& Value, const std::string& sData) {
    SetTypedString(Value, sData, REG_EXPAND_SZ);
}

void QxRegistry::SetTypedString(const std::string& Value, const std::string& sData, DWORD type) {
    CheckInitialized();
    // The NUL goes on even when the text already ends in one: a multi-string brings its own.
    const std::string data = TextToAnsi(sData + '\0');
    RegSetValueExA(m_hKey, TextToAnsi(Value).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
}

std::optional<DWORD> QxRegistry::SizeOf(const std::string& ansiName, DWORD type) const {
    DWORD actualType = 0;
    DWORD size = 0;
    if (RegQueryValueExA(m_hKey, ansiName.c_str(), nullptr, &actualType, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (actualType != type) return std::nullopt;  // no conversion between types
    return size;
}

LONG QxRegistry::GetLong(const std::string& Value, LONG nDefault) {
    CheckInitialized();
    LONG result = nDefault;
    try {
        const std::string name = TextToAnsi(Value);
        const auto size = SizeOf(name, REG_DWORD);
        if (!size) return result;

        // The buffer holds a long and no more. Offering only its 4 bytes makes a longer value
        // fail with ERROR_MORE_DATA, so it reads as the default; a shorter one fills the low bytes.
        BYTE buffer[4] = {0, 0, 0, 0};
        DWORD count = *size < sizeof buffer ? *size : DWORD{sizeof buffer};
        DWORD type = REG_DWORD;
        if (RegQueryValueExA(m_hKey, name.c_str(), nullptr, &type, buffer, &count) != ERROR_SUCCESS) return result;
        result = static_cast<LONG>(ReadLe32(buffer));
    } catch (const std::exception&) {
        // As with the string reads: a failure gives what the result holds by then.
    }
    return result;
}

Date QxRegistry::GetDateValue(const std::string& Value, Date dtmDefault) {
    const std::string text = GetStringValue(Value, "");
    if (IsEmptyDate(text)) return dtmDefault;
    // Through the stored pattern and back, so the date comes out to whole seconds.
    return ParseDate(FormatDate(ParseDate(text), kDatePattern));
}

bool QxRegistry::GetBooleanValue(const std::string& Value, bool blnDefault) {
    return GetLong(Value, blnDefault ? -1 : 0) != 0;
}

bool QxRegistry::IsEmptyDate(const std::string& text) {
    try {
        if (!IsDate(text)) return true;
        return ParseDate(text) == Date{};
    } catch (const std::exception&) {
        return true;
    }
}

std::string QxRegistry::GetStringValue(const std::string& Value, const std::string& sDefault) {
    return GetTypedString(Value, sDefault, REG_SZ);
}

std::string QxRegistry::GetMultiStringValue(const std::string& Value, const std::string& sDefault) {
    return GetTypedString(Value, sDefault, REG_MULTI_SZ);
}

std::string QxRegistry::GetExpandStringValue(const std::string& Value, const std::string& sDefault) {
    return GetTypedString(Value, sDefault, REG_EXPAND_SZ);
}

std::string QxRegistry::GetTypedString(const std::string& Value, const std::string& sDefault, DWORD type) {
    CheckInitialized();
    std::string result = sDefault;
    try {
        const std::string name = TextToAnsi(Value);
        const auto sizeFound = SizeOf(name, type);
        if (!sizeFound) return result;

        DWORD size = *sizeFound;
        std::vector<BYTE> buffer(size_t{size} + 1, 0);  // one spare byte so an empty value still has a buffer
        DWORD actualType = type;
        if (RegQueryValueExA(m_hKey, name.c_str(), nullptr, &actualType, buffer.data(), &size) != ERROR_SUCCESS)
            return result;
        if (size == 0) return result;
        // Drop the terminating NUL, but only a NUL: a string stored without one keeps its last character.
        const size_t length = buffer[size - 1] == 0 ? size - 1 : size;
        result = AnsiToText(std::string_view(reinterpret_cast<const char*>(buffer.data()), length));
    } catch (const std::exception&) {
        // Any failure after the guard gives whatever the result holds by then.
    }
    return result;
}
