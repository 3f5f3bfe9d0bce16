#pragma once
// Registry hives in and out of the store: a hive's root key becomes a key of the store, and a key of
// the store becomes a hive. Names and string data go through the W functions, so text the ANSI code
// page cannot hold stays whole.
#include "hive.h"
#include "win9x.h"
#include "winapi.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace hivestore {

// The store refused a write or a read; the message names the key.
class StoreError : public std::runtime_error {
public:
    StoreError(LONG code, const std::string& what) : std::runtime_error(what), code(code) {}
    LONG code;
};

// Whether the file starts as a hive does (`regf`). A file that cannot be read, or a pipe (whose
// bytes can be read once only), is no hive here.
bool IsHiveFile(const std::string& path);

// How far the store's writing is: keys written so far, of the keys the hive's reader has read.
using WriteProgress = std::function<void(std::uint64_t written, std::uint64_t read)>;

struct ImportOptions {
    // A top-level key of the hive whose subtree is written a second time under `mirrorAs`: the
    // control set that Select\Current names, as HKLM\SYSTEM\CurrentControlSet.
    std::u16string mirror;
    std::u16string mirrorAs;
    // Told now and then while the keys are written (every kProgressEvery keys, and at the end).
    WriteProgress writing;
};

inline constexpr std::uint64_t kProgressEvery = 256;

struct ImportReport {
    std::vector<std::string> warnings;
    std::vector<std::string> logsApplied;
    std::uint64_t keys = 0;
    std::uint64_t values = 0;
};

// Replaces what `path` below `root` holds with the hive's root key: its values and subkeys. Call it
// inside RunInStoreTransaction; a failure throws (hive::HiveError, StoreError) and the caller's
// transaction takes back what was written.
ImportReport ImportHive(const std::string& file, HKEY root, const std::u16string& path,
                        const ImportOptions& options = {});

// Where a tree comes from: reads it into the visitor as a hive's keys are handed over (hive::ReadHive
// over bytes read out of a disk image, perhaps keeping only some keys; a Windows 9x registry file).
using HiveReader = std::function<hive::ReadReport(hive::Visitor&)>;

// The same for a tree that `read` hands over, that messages call `file`. Exceptions of `read` go through.
ImportReport ImportTree(const std::string& file, const HiveReader& read, HKEY root, const std::u16string& path,
                        const ImportOptions& options = {});

// A Windows 95, 98 or Me registry: SYSTEM.DAT becomes HKEY_LOCAL_MACHINE and USER.DAT HKEY_USERS, each
// replacing what the root held, names and text read in `codePage`. Call it inside
// RunInStoreTransaction; a failure throws (win9x::CregError, StoreError).
ImportReport ImportWindows9x(const win9x::Registry& registry, unsigned codePage);

// The value `name` of the top-level key `key` of a hive, when it is a REG_DWORD: Select\Current.
// Reads the hive with its logs, as ImportHive does.
bool ReadTopLevelDword(const std::string& file, const std::u16string& key, const std::u16string& name, DWORD& out);
bool ReadTopLevelDword(const HiveReader& read, const std::u16string& key, const std::u16string& name, DWORD& out);

// The key and everything under it as a hive file. Throws StoreError, or hive::HiveError for keys
// that make no hive.
std::vector<std::uint8_t> ExportHive(HKEY root, const std::u16string& path, const std::u16string& rootName);

// Text of the program (UTF-8; WTF-8 for a lone surrogate) to and from the registry's UTF-16.
std::u16string Utf16(std::string_view text);
std::string Utf8(std::u16string_view text);

}  // namespace hivestore
