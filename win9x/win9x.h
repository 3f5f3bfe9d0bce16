#pragma once
// The registry of Windows 95, 98 and Me: SYSTEM.DAT (HKEY_LOCAL_MACHINE) and USER.DAT (HKEY_USERS)
// in the Windows folder, read with libcreg and handed over as a hive's keys are (hive::Visitor), with
// names and text turned from the installation's code page into UTF-16.
//
// Names and string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are code-page bytes in these files; the
// visitor gets them as UTF-16, every byte of the data (NULs and what follows them included). Bytes
// that are no text in the code page are refused, naming the file, key and value: a wrong code page
// shows so rather than as wrong text. Other data are handed over as they are.
//
// Damage is refused, the whole file: a header, key entry or data block that libcreg cannot read, a
// key reached twice (which is how loops show), keys nested past 512 levels.
#include "hive.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace win9x {

// A file that cannot be read. The message names the file, and what is wrong with it.
class CregError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The ANSI code page of western releases, and whether a number names one that Windows 95, 98 or Me
// used (874, 932, 936, 949, 950, 1250 to 1258).
constexpr unsigned kDefaultCodePage = 1252;
bool KnownCodePage(unsigned codePage);
const char* KnownCodePages();  // the list above, for messages

// Whether the file starts as a Windows 9x registry file does (`CREG`). A file that cannot be read is none.
bool IsCregFile(const std::string& path);

// One registry file and the copy Windows 95 kept of its last good state (SYSTEM.DA0), when there is one.
struct RegistryFile {
    std::string path;
    std::string backup = {};  // "" when there is none
    // Bytes already read (a file of a disk image): read instead of the file, `path` only naming them.
    std::optional<std::span<const std::uint8_t>> bytes = {};
};

// The files of the registry in a Windows folder, found without regard to case.
struct Registry {
    RegistryFile system;  // SYSTEM.DAT
    RegistryFile user;    // USER.DAT
};

// The registry kept in `windowsFolder`, when SYSTEM.DAT is there. USER.DAT may be missing: its path is
// then "".
std::optional<Registry> FindRegistry(const std::string& windowsFolder);

// Reads the file's keys into the visitor: the root key (named "") first, then depth first. Throws
// CregError for a file that cannot be read, noting the backup when there is one; the visitor may then
// have seen part of it.
void ReadRegistryFile(const RegistryFile& file, hive::Visitor& visitor, unsigned codePage = kDefaultCodePage);

}  // namespace win9x
