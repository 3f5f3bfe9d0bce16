#pragma once
#include <cstdint>
#include <string>

// The program's copy of the OS version record. szCSDVersion holds all 128 characters of the
// platform's field, trailing NULs included; the CSD text is the part before the first NUL.
struct OsVersionRecord {
    std::int32_t dwOSVersionInfoSize = 0;
    std::int32_t dwMajorVersion = 0;
    std::int32_t dwMinorVersion = 0;
    std::int32_t dwBuildNumber = 0;
    std::int32_t dwPlatformId = 0;
    std::string szCSDVersion = std::string(128, '\0');
    std::int16_t wServicePackMajor = 0;
    std::int16_t wServicePackMinor = 0;
    std::int16_t wSuiteMask = 0;
    std::uint8_t wProductType = 0;
    std::uint8_t wReserved = 0;

    std::string CsdText() const { return szCSDVersion.substr(0, szCSDVersion.find('\0')); }
};

// A fresh record filled by GetVersionExA. When the query fails the record keeps its zeroes.
OsVersionRecord QueryOsVersionRecord();

// The version code, 0 to 22: from the product name in the registry, else from the version record.
std::int32_t GetWindowsVersion();

// The version code from the OS version record alone.
std::int32_t GetWindowsVersionFromApi();

// The two classifications, apart from where their input comes from.
std::int32_t VersionCodeFromProductName(const std::string& upperCaseName);
std::int32_t VersionCodeFromRecord(const OsVersionRecord& record);
