#pragma once
// Registry files (.reg): reading both dialects, applying them to the registry in one transaction,
// and writing a key with everything under it.
//
// "REGEDIT4" files are bytes of the ANSI code page. "Windows Registry Editor Version 5.00" files are
// UTF-16LE with a byte-order mark; there the string types' hex data are UTF-16LE too. Inside, names
// and string data are kept as the registry keeps them: ANSI code page bytes.
#include "winapi.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace regfile {

enum class Dialect { Regedit4, Version5 };

// A place in a file, both counted from 1; a column counts characters, not bytes.
struct Position {
    int line = 0;
    int column = 0;
    bool operator==(const Position&) const = default;
};

class ParseError : public std::runtime_error {
public:
    ParseError(Position where, const std::string& what) : std::runtime_error(what), where(where) {}
    Position where;
};

struct ValueEntry {
    std::string name;  // empty for the default value, "@"
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;  // the bytes the registry is to hold
    Position where;
};

struct KeyEntry {
    HKEY root = nullptr;
    std::string path;  // below the root, backslash-separated; empty for the root itself
    bool removeTree = false;
    std::vector<ValueEntry> values;
    Position where;
};

struct RegFile {
    Dialect dialect = Dialect::Version5;
    std::vector<KeyEntry> keys;
};

// Reads a whole file. Throws ParseError at the first fault; nothing is applied by reading.
RegFile Parse(std::string_view bytes);

struct ApplyResult {
    LONG code = ERROR_SUCCESS;
    Position where;  // the key or value line whose write failed
};

// Writes every entry as one store transaction: all of them, or none when one fails.
ApplyResult Apply(const RegFile& file);

// A key named in full ("HKEY_LOCAL_MACHINE\Software") or with a short root ("HKLM\Software").
struct KeyName {
    HKEY root = nullptr;
    std::string path;  // text (UTF-8), below the root
};
std::optional<KeyName> ParseKeyName(std::string_view text);

// The registry's limits, checked when a file or a key argument is read so that a fault is named
// where it is rather than by the store's error code at write time.
inline constexpr size_t kMaxKeyPath = 260;      // ANSI characters of a path below its root
inline constexpr size_t kMaxKeyNamePart = 255;  // characters of one key name in a path
inline constexpr size_t kMaxValueName = 16383;
// Why the registry would refuse this key path (ANSI, below its root), or "" when it takes it.
std::string KeyPathFault(std::string_view ansiPath);
std::string_view RootName(HKEY root);  // the full name, "HKEY_LOCAL_MACHINE"

// The key and everything under it as a version 5 file (UTF-16LE, byte-order mark, CRLF). Fails with
// the registry's error, ERROR_FILE_NOT_FOUND when the key does not exist, or with kUnwritableName
// when a key or value name cannot be written so that it reads back (a line break in it); then
// `refusal` names that key and value.
inline constexpr LONG kUnwritableName = 13;  // ERROR_INVALID_DATA
LONG Export(const KeyName& key, std::string& out, std::string* refusal = nullptr);

// The values and subkeys of a key, in the registry's enumeration order.
struct StoredValue {
    std::string name;  // ANSI
    DWORD type = REG_NONE;
    std::string data;
    bool operator==(const StoredValue&) const = default;
};
LONG ReadValues(HKEY key, std::vector<StoredValue>& out);
LONG ReadSubKeyNames(HKEY key, std::vector<std::string>& out);  // ANSI names

}  // namespace regfile
