#pragma once
// Registry files (.reg): reading both dialects, applying them to the registry in one transaction,
// and writing a key with everything under it.
//
// "REGEDIT4" files are bytes of the ANSI code page. "Windows Registry Editor Version 5.00" files are
// UTF-16LE with a byte-order mark; there the string types' hex data are UTF-16LE too. Inside, names
// are text (UTF-8; a lone surrogate of a UTF-16 file in its three-byte form, so that it survives);
// data are the bytes the registry is to hold: from a version 5 file the string types in UTF-16LE,
// written through the W functions, from a REGEDIT4 file in the ANSI code page, through the A ones.
#include "winapi.h"

#include <functional>
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
    std::string name;  // text; empty for the default value, "@"
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;  // the bytes the registry is to hold (string types: UTF-16LE from a version 5 file)
    Position where;
};

struct KeyEntry {
    HKEY root = nullptr;
    std::string path;  // text below the root, backslash-separated; empty for the root itself
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
// where it is rather than by the store's error code at write time. Lengths count UTF-16 units.
inline constexpr size_t kMaxKeyPath = ::kMaxAnsiPath;     // of a path below its root given whole to an A function
inline constexpr size_t kMaxKeyNamePart = ::kMaxKeyName;  // of one key name in a path
using ::kMaxValueName;
// Why the registry would refuse this key path (text, below its root), or "" when it takes it.
// `whole`: the path goes whole to an A function (a REGEDIT4 file), which takes at most kMaxKeyPath.
std::string KeyPathFault(std::string_view path, bool whole = false);
size_t Utf16Length(std::string_view text);
std::string_view RootName(HKEY root);  // the full name, "HKEY_LOCAL_MACHINE"

// The key and everything under it as a file: version 5 (UTF-16LE, byte-order mark, CRLF), or
// REGEDIT4 (Windows-1252, CRLF). Fails with the registry's error, ERROR_FILE_NOT_FOUND when the key
// does not exist, or with kUnwritableName when a name or text cannot be written so that it reads
// back (a line break in a name; in a REGEDIT4 file, a character Windows-1252 lacks); then `refusal`
// names that key and value.
inline constexpr LONG kUnwritableName = 13;  // ERROR_INVALID_DATA
LONG Export(const KeyName& key, std::string& out, std::string* refusal = nullptr, Dialect dialect = Dialect::Version5);
// The same a piece at a time, so that a tree of any size takes little memory: each piece is whole
// lines of the file, in its encoding, about kExportPiece bytes or one key's lines when they are more.
// A sink that returns false ends the export with kSinkFailed. After a refusal the pieces already
// given stand.
inline constexpr size_t kExportPiece = 1 << 20;
inline constexpr LONG kSinkFailed = 29;  // ERROR_WRITE_FAULT
using ExportSink = std::function<bool(std::string_view piece)>;
LONG Export(const KeyName& key, const ExportSink& sink, std::string* refusal = nullptr,
            Dialect dialect = Dialect::Version5);

// The values and subkeys of a key, in the registry's enumeration order, as the W functions give
// them: names as text, the string types' data in UTF-16LE.
struct StoredValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
    bool operator==(const StoredValue&) const = default;
};
LONG ReadValues(HKEY key, std::vector<StoredValue>& out);
LONG ReadSubKeyNames(HKEY key, std::vector<std::string>& out);
// Opens `path` (text) below `parent` through the W functions, which take a path of any length.
LONG OpenPath(HKEY parent, std::string_view path, REGSAM access, HKEY& out);

}  // namespace regfile
