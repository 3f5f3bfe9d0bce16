#pragma once
// Key lookup: names as the store keeps them, key paths, and the key tree's rows.
#include "failure.h"
#include "schema.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace store {

using KeyId = long long;  // a row id
class ReadCache;
class StatementCache;  // a connection's statements, as Database hands them out

// A key or value name: as given (UTF-8; a lone surrogate in its three-byte form) and in the
// case-folded form it is found by.
struct Name {
    std::string text;
    std::string folded;
};
Name NameFromAnsi(std::string_view ansi);
Name NameFromUtf16(std::u16string_view units);
void NameFromUtf16(std::u16string_view units, Name& name);  // into `name`, reusing its room
std::string FoldedFromAnsi(std::string_view ansi);          // NameFromAnsi(ansi).folded
std::string FoldName(std::string_view text);

// The A functions take a key path of at most kMaxAnsiPath, the W functions any path whose names fit
// (kMaxKeyName); both in winapi.h.

// Splits a key path at its backslashes. As in Windows, a run of backslashes separates like one and
// a trailing one is allowed, but a path that starts with one is not a path below the key (nullopt).
std::optional<std::vector<Name>> SplitPath(const char* path);
std::optional<std::vector<Name>> SplitPath(const char16_t* path);
// What SplitPath would refuse the path with (ERROR_SUCCESS when nothing), without making its names.
LONG PathFault(const char* path);
LONG PathFault(const char16_t* path);

// The predefined roots' rows, present in every store (and in one that has no file yet).
constexpr bool IsRootId(KeyId id) {
    return id >= 1 && id <= 6;
}

// Lookups answer from `cache` when it knows, and teach it what they read; it may be nullptr.
bool KeyExists(StatementCache& s, KeyId id, ReadCache* cache = nullptr);
std::optional<KeyId> FindChild(StatementCache& s, KeyId parent, const std::string& folded, ReadCache* cache = nullptr);
// The key `parts` names below `parent`; `found` tells how many of them exist.
KeyId Walk(StatementCache& s, KeyId parent, const std::vector<Name>& parts, size_t& found, ReadCache* cache = nullptr);
// Makes a key. Its id is never one any key had before, in any process, even one whose creation
// was rolled back: a handle to a deleted key must never reach a new one.
KeyId CreateChild(StatementCache& s, KeyId parent, const Name& name);
// The highest id the file has ever given a key, deleted ones included: a key above it was made in
// a transaction that was rolled back, and will never be there.
KeyId HighestKeyId(StatementCache& s);
// The same for many keys in one write transaction, without looking for the highest id each time:
// after SyncHighestId ran in that transaction, each key takes the id after the last one this
// process made. Nothing is made, and nullopt returned, when `parent` has a subkey of that name.
void SyncHighestId(StatementCache& s);
std::optional<KeyId> CreateNextChild(StatementCache& s, KeyId parent, const Name& name);
// The same in batches: the id is taken when the key is made, the row written later by InsertKeys,
// which writes no key whose parent has a subkey of its name already, and tells how many it wrote.
struct NewKey {
    KeyId id;
    KeyId parent;
    const Name* name;
};
KeyId TakeKeyId();
constexpr size_t kKeysAtOnce = 16;
size_t InsertKeys(StatementCache& s, std::span<const NewKey> keys);  // at most kKeysAtOnce
// All of `keys` or none: false (and nothing written) when one's parent has a subkey of its name.
bool InsertAllKeys(StatementCache& s, std::span<const NewKey> keys);
// How many levels below its root a key is (0 for a root).
size_t KeyDepth(StatementCache& s, KeyId id);
bool HasSubkeys(StatementCache& s, KeyId id);
// Deletes a key, or only its subkeys, their subkeys and values going with them, however deep.
void DeleteKey(StatementCache& s, KeyId id);
void DeleteSubkeys(StatementCache& s, KeyId id);

// Counts, longest names and longest data of a key's subkeys or values. Lengths of names are in
// UTF-16 units, as both sides of the API count them (an ANSI byte for each unit).
struct Longest {
    DWORD count = 0, name = 0, data = 0;
};
Longest SubkeyCounts(StatementCache& s, KeyId id);
// `sql` selects the count, the longest name in characters, whether a name holds a character beyond
// the BMP (pattern ?2) and the longest data, of the rows of key ?1; `names` those names.
Longest CountAndLongest(StatementCache& s, std::string_view sql, std::string_view names, KeyId id);

}  // namespace store
