#include "QxRegistry.h"

#include "RaisedError.h"
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
        throw RaisedError(kNotInitializedError, "Class QxRegistry not Initialized.", "Application-defined or object-defined error");
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
        DWORD actualType = 0;
        DWORD size = 0;
        if (RegQueryValueExA(m_hKey, name.c_str(), nullptr, &actualType, nullptr, &size) != ERROR_SUCCESS) return result;
        if (actualType != type) return result;

        std::vector<BYTE> buffer(size + 1u, 0);  // one spare byte so an empty value still has a buffer
        actualType = type;
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
