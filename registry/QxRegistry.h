#pragma once
#include "date.h"
#include "winapi.h"

#include <optional>
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
    void DeleteValue(const std::string& Value);
    void SetLong(const std::string& Value, LONG nData);
    void SetStringValue(const std::string& Value, const std::string& sData);
    void SetDateValue(const std::string& Value, Date dtmData);
    void SetBooleanValue(const std::string& Value, bool blnData);
    void SetMultiStringValue(const std::string& Value, const std::string& sData);
    void SetExpandStringValue(const std::string& Value, const std::string& sData);
    LONG GetLong(const std::string& Value, LONG nDefault);
    std::string GetStringValue(const std::string& Value, const std::string& sDefault);
    Date GetDateValue(const std::string& Value, Date dtmDefault);
    bool GetBooleanValue(const std::string& Value, bool blnDefault);
    std::string GetMultiStringValue(const std::string& Value, const std::string& sDefault);
    std::string GetExpandStringValue(const std::string& Value, const std::string& sDefault);
    bool OpenKey(const std::string& KeyName, HKEY hKey);

    static constexpr long kNotInitializedError = 1777;

private:
    void CheckInitialized() const;
    // The size query: the value's byte count, when it exists and is of that type.
    std::optional<DWORD> SizeOf(const std::string& ansiName, DWORD type) const;
    static bool IsEmptyDate(const std::string& text);
    std::string GetTypedString(const std::string& Value, const std::string& sDefault, DWORD type);
    void SetTypedString(const std::string& Value, const std::string& sData, DWORD type);

    HKEY m_hKey = nullptr;
    bool m_blnInitialized = false;
};
