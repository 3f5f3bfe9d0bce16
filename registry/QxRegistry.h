#pragma once
#include "winapi.h"

#include <string>

// One open registry key per object, with typed reads and writes of the values under it.
// Text crosses the registry in the ANSI code page; key paths, value names and string data are
// converted on the way in and out.
class QxRegistry {
public:
    QxRegistry() = default;
    ~QxRegistry();  // Class_Terminate: closes the key still open, ignoring the result
    QxRegistry(const QxRegistry&) = delete;
    QxRegistry& operator=(const QxRegistry&) = delete;

    bool CloseKey();
    bool CreateKey(const std::string& KeyName, HKEY hKey);
    std::string GetStringValue(const std::string& Value, const std::string& sDefault);
    std::string GetMultiStringValue(const std::string& Value, const std::string& sDefault);
    std::string GetExpandStringValue(const std::string& Value, const std::string& sDefault);
    bool OpenKey(const std::string& KeyName, HKEY hKey);

    static constexpr long kNotInitializedError = 1777;

private:
    void CheckInitialized() const;
    std::string GetTypedString(const std::string& Value, const std::string& sDefault, DWORD type);

    HKEY m_hKey = nullptr;
    bool m_blnInitialized = false;
};
